#pragma once

#include <QWidget>

// Top-level window without the system frame, used by the agent's windows. The full
// edge-resizing and screen tracking come with the window work; this is its shape.
class cKELFrameLessWnd : public QWidget {
    Q_OBJECT
public:
    enum emResizeEnv { ResizeAfterMove = 1, ResizeScreenRemoved = 2, ResizeDpiChange = 3, ResizeTimer = 4 };
    Q_ENUM(emResizeEnv)

    explicit cKELFrameLessWnd(QWidget* parent = nullptr);

    bool setTitleBar(QWidget* titleBar);
    QWidget* titleBar() const { return titleBarWidget; }

Q_SIGNALS:
    void Sig_MousePress();
    void Sig_MouseRelese();
    void Sig_ExitMove();
    void Sig_NeedResize(int env);
    void Sig_WindowStateChange(Qt::WindowStates oldState, Qt::WindowStates newState);

private:
    QWidget* titleBarWidget = nullptr;
};
