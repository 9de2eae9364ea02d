#include "app/ProgressBar.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <algorithm>
#include <cmath>

namespace
{
// The style draws integer progress; two steps per pixel keep it exact to the
// pixel, and a change of value that moves no pixel needs no repaint (the
// last-update check sets a new value 10,500 times in a row).
int styleSteps(const QWidget &bar)
{
    return std::max(1, 2 * bar.width());
}

int drawnProgress(const ProgressBar &bar)
{
    return int(std::lround(bar.filledShare() * styleSteps(bar)));
}
} // namespace

ProgressBar::ProgressBar(QWidget *parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void ProgressBar::set(float &field, float value)
{
    const int before = drawnProgress(*this);
    field = value;
    if (drawnProgress(*this) != before)
        update();
}

void ProgressBar::setMin(float min)
{
    set(m_min, min);
}

void ProgressBar::setMax(float max)
{
    set(m_max, max);
}

void ProgressBar::setValue(float value)
{
    set(m_value, value);
}

double ProgressBar::filledShare() const
{
    const double span = double(m_max) - double(m_min);
    const double done = double(m_value) - double(m_min);
    if (std::isnan(span) || std::isnan(done))
        return 0;
    if (span <= 0)
        return done >= span ? 1 : 0;
    return std::clamp(done / span, 0.0, 1.0);
}

QSize ProgressBar::sizeHint() const
{
    return {200, 17};
}

void ProgressBar::paintEvent(QPaintEvent *)
{
    QStyleOptionProgressBar option;
    option.initFrom(this);
    option.state |= QStyle::State_Horizontal;
    option.minimum = 0;
    option.maximum = styleSteps(*this);
    option.progress = drawnProgress(*this);
    option.textVisible = false;
    QPainter painter(this);
    style()->drawControl(QStyle::CE_ProgressBar, &option, &painter, this);
}
