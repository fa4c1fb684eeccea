// A caption drawn upwards, for the narrow strips beside the vertical volume sliders.
#pragma once

#include <QWidget>

class VerticalLabel : public QWidget {
    Q_OBJECT
public:
    explicit VerticalLabel(const QString &text, QWidget *parent = nullptr);
    QString text() const { return text_; }
    void setText(const QString &text);
    QSize sizeHint() const override;

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    QString text_;
};
