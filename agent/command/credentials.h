#pragma once

#include <QMap>
#include <QString>

#include <map>

// The name/value pairs of a "login" command's "uploadCredentials", in name order. Uploading and
// both print managers send them to their servers as one "Cookie" header.
using KELCredentials = std::map<QString, QString>;

// "name=value;" for every pair in name order (the text ends with ";"); empty for no pairs.
QString cookieHeaderFrom(const KELCredentials& credentials);

// Sets the "Cookie" entry of a request's headers from the credentials; no credentials, no entry.
void setCookieHeader(QMap<QString, QString>& headers, const KELCredentials& credentials);
