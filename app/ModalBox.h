#pragma once

#include <QString>
#include <functional>

class QWidget;

// Every modal message box of the program goes through showModalBox, so that
// tests can put a recorder in place of the real dialog and never block on one.
enum class BoxIcon { None, Stop };

struct ModalBoxRequest {
    QString text;
    QString title;
    BoxIcon icon = BoxIcon::None;
};

using ModalBoxPresenter = std::function<void(QWidget *parent, const ModalBoxRequest &)>;

// Shows one box with a single OK button and returns when it is dismissed.
void showModalBox(QWidget *parent, const QString &text, const QString &title, BoxIcon icon);

// Replaces the presenter; an empty function restores the real dialog.
// Returns the presenter that was in place.
ModalBoxPresenter setModalBoxPresenter(ModalBoxPresenter presenter);
