#include "ui/framelesswindow.h"

cKELFrameLessWnd::cKELFrameLessWnd(QWidget* parent)
    : QWidget(parent)
{
    qRegisterMetaType<emResizeEnv>("cKELFrameLessWnd::emResizeEnv");
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint);
}

bool cKELFrameLessWnd::setTitleBar(QWidget* titleBar)
{
    if (titleBar && titleBar != this && !isAncestorOf(titleBar))
        return false;
    titleBarWidget = titleBar;
    return true;
}
