// TCGauge: the progress gauge, a horizontal bar filled in proportion to a
// value from 0 to 100, with the percentage as text in its middle.  The bar
// follows tenths of a percent, so that it moves with every report of a run
// that maps onto part of the gauge.
#ifndef APP_CGAUGE_H
#define APP_CGAUGE_H

#include <QColor>
#include <QWidget>

#include <algorithm>

class TCGauge : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int Progress READ Progress WRITE SetProgress)
    Q_PROPERTY(QColor ForeColor READ ForeColor WRITE SetForeColor)

public:
    explicit TCGauge(QWidget* Owner = nullptr);

    int Progress() const { return FPermille / 10; }
    // Clamped to 0..100; repaints only when the value changes.
    void SetProgress(int Value) { SetPermille(10 * std::clamp(Value, 0, 100)); }
    int Permille() const { return FPermille; }
    // Clamped to 0..1000; repaints only when the value changes.
    void SetPermille(int Value);
    QColor ForeColor() const { return FForeColor; }
    void SetForeColor(const QColor& Color);

protected:
    void paintEvent(QPaintEvent* Event) override;

private:
    int FPermille = 0;
    QColor FForeColor = QColor(0, 0, 255);
};

#endif
