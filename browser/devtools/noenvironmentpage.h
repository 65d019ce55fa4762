#pragma once

// The page that says app.dat lists no environment (the WebEngine shell's built-in page), as
// UTF-8 HTML; it shows the path given as "appdat" in its query or fragment.
extern const char* const kNoEnvironmentHtml;
