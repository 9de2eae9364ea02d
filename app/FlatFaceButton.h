#pragma once

#include <QPushButton>

// A push button drawn the same on every platform, in the look of a classic
// graphical-style button: a flat face in the palette's button colour inside a
// raised 3-D edge, which sinks while the button is held down; a dotted focus
// frame inside the edge while it has the focus; the access key always
// underlined; and embossed grey text while it is disabled.
class FlatFaceButton : public QPushButton
{
    Q_OBJECT
public:
    explicit FlatFaceButton(const QString &text, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};
