#include "xvfbdisplay.h"

#include "wait.h"

#include <QProcess>
#include <QRegularExpression>

namespace vtest {

XvfbDisplay::XvfbDisplay()
{
    start();
}

XvfbDisplay::~XvfbDisplay()
{
    stop();
}

XvfbDisplay& XvfbDisplay::shared()
{
    static XvfbDisplay display;
    return display;
}

void XvfbDisplay::applyTo(QProcessEnvironment& environment) const
{
    environment.insert(QStringLiteral("DISPLAY"), displayName);
}

void XvfbDisplay::useForThisProcess() const
{
    qputenv("DISPLAY", displayName.toLocal8Bit());
}

XvfbDisplay::ToolResult XvfbDisplay::run(const QString& program, const QStringList& arguments, int timeoutMs) const
{
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    applyTo(environment);
    tool.setProcessEnvironment(environment);
    tool.setProcessChannelMode(QProcess::SeparateChannels);
    tool.start(program, arguments);
    ToolResult result;
    result.finished = tool.waitForFinished(timeoutMs);
    if (!result.finished) {
        tool.kill();
        tool.waitForFinished(timeoutMs);
        return result;
    }
    result.exitCode = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    result.output = tool.readAllStandardOutput();
    result.errors = tool.readAllStandardError();
    return result;
}

namespace {
QList<quint64> windowIds(const QByteArray& output)
{
    QList<quint64> windows;
    for (const QByteArray& line : output.split('\n')) {
        bool ok = false;
        const quint64 id = line.trimmed().toULongLong(&ok);
        if (ok)
            windows << id;
    }
    return windows;
}
} // namespace

QList<quint64> XvfbDisplay::findWindows(const QString& nameRegex, bool onlyVisible) const
{
    QStringList arguments {QStringLiteral("search")};
    if (onlyVisible)
        arguments << QStringLiteral("--onlyvisible");
    arguments << QStringLiteral("--name") << nameRegex;
    return windowIds(run(QStringLiteral("xdotool"), arguments).output);
}

QList<quint64> XvfbDisplay::findWindowsOfClass(const QString& classRegex) const
{
    return windowIds(run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                                     QStringLiteral("--classname"), classRegex})
                         .output);
}

std::optional<quint64> XvfbDisplay::waitForWindow(const QString& nameRegex, int timeoutMs) const
{
    QList<quint64> found;
    waitUntil([&] {
        found = findWindows(nameRegex);
        return !found.isEmpty();
    }, timeoutMs);
    if (found.isEmpty())
        return std::nullopt;
    return found.front();
}

bool XvfbDisplay::isMapped(quint64 window) const
{
    const ToolResult result = run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), QString::number(window)});
    return result.exitCode == 0 && result.output.contains("Map State: IsViewable");
}

bool XvfbDisplay::waitUntilGone(quint64 window, int timeoutMs) const
{
    return waitUntil([&] { return !isMapped(window); }, timeoutMs);
}

std::optional<QRect> XvfbDisplay::geometry(quint64 window) const
{
    const ToolResult result = run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), QString::number(window)});
    if (result.exitCode != 0)
        return std::nullopt;
    const QString text = QString::fromLocal8Bit(result.output);
    auto field = [&](const QString& label) {
        const QRegularExpression pattern(QRegularExpression::escape(label) + QStringLiteral(":\\s+(-?\\d+)"));
        return pattern.match(text).captured(1).toInt();
    };
    return QRect(field(QStringLiteral("Absolute upper-left X")), field(QStringLiteral("Absolute upper-left Y")),
                 field(QStringLiteral("Width")), field(QStringLiteral("Height")));
}

quint64 XvfbDisplay::focusedWindow() const
{
    const ToolResult result = run(QStringLiteral("xdotool"), {QStringLiteral("getwindowfocus"), QStringLiteral("-f")});
    return result.exitCode == 0 ? result.output.trimmed().toULongLong() : 0;
}

void XvfbDisplay::focusRoot() const
{
    const ToolResult root = run(QStringLiteral("xwininfo"), {QStringLiteral("-root")});
    const QRegularExpression id(QStringLiteral("Window id: (0x[0-9a-f]+)"));
    const QString rootId = id.match(QString::fromLatin1(root.output)).captured(1);
    if (!rootId.isEmpty())
        focus(rootId.toULongLong(nullptr, 16));
}

bool XvfbDisplay::focus(quint64 window) const
{
    return run(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QString::number(window)}).exitCode == 0;
}

bool XvfbDisplay::resize(quint64 window, int width, int height) const
{
    return run(QStringLiteral("xdotool"), {QStringLiteral("windowsize"), QString::number(window),
                                           QString::number(width), QString::number(height)})
               .exitCode
        == 0;
}

bool XvfbDisplay::key(const QStringList& keys, quint64 window) const
{
    QStringList arguments {QStringLiteral("key")};
    if (window != 0)
        arguments << QStringLiteral("--window") << QString::number(window);
    arguments << keys;
    return run(QStringLiteral("xdotool"), arguments).exitCode == 0;
}

bool XvfbDisplay::type(const QString& text) const
{
    return run(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"), text})
               .exitCode
        == 0;
}

bool XvfbDisplay::moveMouse(int x, int y) const
{
    return run(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QString::number(x), QString::number(y)}).exitCode
        == 0;
}

bool XvfbDisplay::click(int x, int y, int button) const
{
    return run(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QString::number(x), QString::number(y),
                                           QStringLiteral("click"), QString::number(button)})
               .exitCode
        == 0;
}

bool XvfbDisplay::mouseDown(int x, int y, int button) const
{
    return run(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QString::number(x), QString::number(y),
                                           QStringLiteral("mousedown"), QString::number(button)})
               .exitCode
        == 0;
}

bool XvfbDisplay::mouseUp(int button) const
{
    return run(QStringLiteral("xdotool"), {QStringLiteral("mouseup"), QString::number(button)}).exitCode == 0;
}

bool XvfbDisplay::drag(const QPoint& from, const QPoint& to) const
{
    if (!mouseDown(from.x(), from.y()))
        return false;
    // Several motions, as a hand makes them: the window follows each.
    constexpr int kSteps = 5;
    for (int i = 1; i <= kSteps; ++i) {
        const QPoint at = from + (to - from) * i / kSteps;
        if (!moveMouse(at.x(), at.y()))
            return false;
    }
    return mouseUp();
}

QImage XvfbDisplay::screenshot() const
{
    const ToolResult shot = run(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"),
                                                           QStringLiteral("png:-")});
    QImage image;
    if (shot.exitCode == 0)
        image.loadFromData(shot.output, "PNG");
    return image.convertToFormat(QImage::Format_RGB32);
}

std::optional<QRect> XvfbDisplay::trayHostGeometry() const
{
    const QList<quint64> hosts = windowIds(
        run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                        QStringLiteral("--class"), QStringLiteral("^trayer$")})
            .output);
    if (hosts.isEmpty())
        return std::nullopt;
    return geometry(hosts.front());
}

} // namespace vtest
