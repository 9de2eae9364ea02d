#include "app/ModalBox.h"

#include <QMessageBox>
#include <utility>

namespace
{

ModalBoxPresenter &currentPresenter()
{
    static ModalBoxPresenter presenter;
    return presenter;
}

void showMessageBox(QWidget *parent, const ModalBoxRequest &request)
{
    QMessageBox box(request.icon == BoxIcon::Stop ? QMessageBox::Critical : QMessageBox::NoIcon,
                    request.title, request.text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace

void showModalBox(QWidget *parent, const QString &text, const QString &title, BoxIcon icon)
{
    const ModalBoxRequest request{text, title, icon};
    // A copy, so that a presenter that swaps the presenter stays alive.
    if (const ModalBoxPresenter presenter = currentPresenter())
        presenter(parent, request);
    else
        showMessageBox(parent, request);
}

ModalBoxPresenter setModalBoxPresenter(ModalBoxPresenter presenter)
{
    return std::exchange(currentPresenter(), std::move(presenter));
}
