#pragma once

#include <QString>

// What the progress display needs of the window: the bar's range and value
// as single-precision numbers, the progress caption and the Done button.
class ProgressView
{
public:
    virtual ~ProgressView() = default;

    virtual float BarMax() const = 0;
    virtual void SetBarMax(float max) = 0;
    virtual float BarValue() const = 0;
    virtual void SetBarValue(float value) = 0;
    virtual void SetProgressText(const QString &text) = 0;
    virtual void EnableDone() = 0;
};
