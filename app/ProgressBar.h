#pragma once

#include <QWidget>

// A horizontal progress bar whose minimum, maximum and value are
// single-precision numbers that read back exactly as set. Any value is
// accepted: the filled share (value - minimum) / (maximum - minimum) is drawn
// limited to the bar, so a value above the maximum shows a full bar.
class ProgressBar : public QWidget
{
    Q_OBJECT
public:
    explicit ProgressBar(QWidget *parent = nullptr);

    float min() const { return m_min; }
    float max() const { return m_max; }
    float value() const { return m_value; }
    void setMin(float min);
    void setMax(float max);
    void setValue(float value);

    // The share of the bar drawn filled, from 0 to 1.
    double filledShare() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    // Sets one of the three and repaints only when the drawn bar changes.
    void set(float &field, float value);

    float m_min = 0;
    float m_max = 100;
    float m_value = 0;
};
