#pragma once

#include <QWidget>

class QLabel;

// A 160 × 28 field: a text and a drop-down mark on a white bordered panel.
class KELTextImageWidget : public QWidget {
    Q_OBJECT
public:
    explicit KELTextImageWidget(QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const;

private:
    QLabel* textLabel;
    QLabel* imageLabel;
};
