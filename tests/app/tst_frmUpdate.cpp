#include "app/ProgressBar.h"
#include "app/frmUpdate.h"
#include "download/Downloader.h"
#include "download/ModalBox.h"
#include "profile/ProgramFolder.h"
#include "tests/support/TestHttpServer.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QFile>
#include <QFontInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace
{
const QStringList designNames{"tmrProgress", "cmdRunQV", "Downloader2", "cmdCancel",  "cmdDone",
                              "txtMain",     "prgBar",   "Downloader1", "lblPROGRESS"};

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool WriteAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The design control a point of the window shows, or "" for the window itself.
QString ControlAt(QWidget &window, QPoint point)
{
    for (QWidget *w = window.childAt(point); w && w != &window; w = w->parentWidget())
        if (designNames.contains(w->objectName()))
            return w->objectName();
    return {};
}

QString FontClass(const QWidget *widget)
{
    const QString family = QFontInfo(widget->font()).family();
    if (family.contains(QLatin1String("Sans")))
        return QStringLiteral("sans");
    if (family.contains(QLatin1String("Serif")))
        return QStringLiteral("serif");
    return family;
}

const QByteArray ProfileBefore = "[GENERAL]\r\n"
                                 "Hello=http://127.0.0.1:9/hello\r\n"
                                 "UpdateFileURL=http://127.0.0.1:9\r\n"
                                 "LastUpdate=2026-11-30\r\n"
                                 "LastUpdateTime=18:30\r\n";
const QByteArray ProfileCanceled = "[GENERAL]\r\n"
                                   "Hello=http://127.0.0.1:9/hello\r\n"
                                   "UpdateFileURL=http://127.0.0.1:9\r\n"
                                   "LastUpdate=Last Update Canceled\r\n"
                                   "LastUpdateTime=Last Update Canceled\r\n";
} // namespace

class tst_frmUpdate : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void windowDesign();
    void controlDesign_data();
    void controlDesign();
    void barAndTimerDesign();
    void stackingOrder_data();
    void stackingOrder();
    void tabOrder();
    void backgroundDrawnUnscaledAtOrigin();
    void resources();

    void addText_data();
    void addText();
    void addTextScrollsToNewestLine();

    void focusEndsOnCancelAtShow();
    void focusIntoLogGoesToCancel_data();
    void focusIntoLogGoesToCancel();
    void typingIntoLogChangesNothing();

    void keysActivateButtons_data();
    void keysActivateButtons();

    void cancel_data();
    void cancel();
    void cancelWithUnwritableProfileClosesSilently();
    void doneClosesWithoutWriting();

    void closeRequestRefused();
    void closeWindowDropsTransfersInFlight();
    void progressEventsMoveBarAndCaption();
    void timerDoesNotEnableDoneBeforeRunReturned();

    void loadHandlerRemovesCloseCommandAndShows();
    void loadHandlerFailedRunClosesWindow();

private:
    void LayOutProgramFolder(const QByteArray &profile);
    QPushButton *Button(frmUpdate &w, const char *name);
    void ShowActive(frmUpdate &w);

    std::unique_ptr<QTemporaryDir> m_dir;
    QStringList m_boxes;
};

void tst_frmUpdate::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_boxes.clear();
    SetModalBoxPresenter(
        [this](QWidget *, const ModalBoxRequest &r) { m_boxes << r.title + ": " + r.text; });
    LayOutProgramFolder(ProfileBefore);
}

void tst_frmUpdate::cleanup()
{
    SetModalBoxPresenter({});
    SetProgramFolder({});
}

void tst_frmUpdate::LayOutProgramFolder(const QByteArray &profile)
{
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("updates")));
    QVERIFY(WriteAll(m_dir->filePath("updates/init.ini"), profile));
    SetProgramFolder(m_dir->path());
}

QPushButton *tst_frmUpdate::Button(frmUpdate &w, const char *name)
{
    auto *button = w.findChild<QPushButton *>(QLatin1String(name));
    if (!button)
        qWarning("no button %s", name);
    return button;
}

void tst_frmUpdate::ShowActive(frmUpdate &w)
{
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
}

void tst_frmUpdate::windowDesign()
{
    frmUpdate w;
    QCOMPARE(w.objectName(), QStringLiteral("frmUpdate"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Torvale Software Auto-Updater"));
    QCOMPARE(w.size(), QSize(354, 185));
    QCOMPARE(w.minimumSize(), QSize(354, 185));
    QCOMPARE(w.maximumSize(), QSize(354, 185));
    QVERIFY(!(w.windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(w.palette().color(QPalette::Window), QColor(0x80, 0x80, 0xFF));
    QCOMPARE(w.palette().color(QPalette::WindowText), QColor(0xFF, 0xFF, 0xFF));
    QCOMPARE(FontClass(&w), QStringLiteral("sans"));
    QCOMPARE(QFontInfo(w.font()).pixelSize(), 12);
    QVERIFY(!QFontInfo(w.font()).bold());
    QVERIFY(!w.isVisible());
    QVERIFY(!w.IsClosed());
    QCOMPARE(&w.Downloader2(), w.findChild<Downloader *>(QStringLiteral("Downloader2")));
}

void tst_frmUpdate::controlDesign_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<bool>("visible");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("backRole");
    QTest::addColumn<QColor>("back");
    QTest::addColumn<int>("foreRole");
    QTest::addColumn<QColor>("fore");
    QTest::addColumn<QString>("fontClass");
    QTest::addColumn<int>("pixelSize");
    QTest::addColumn<bool>("bold");

    const QColor face(0x80, 0x80, 0xFF);
    const QColor buttonText =
        QApplication::palette("QPushButton").color(QPalette::Active, QPalette::ButtonText);
    const int B = QPalette::Button, BT = QPalette::ButtonText, WT = QPalette::WindowText;
    QTest::newRow("cmdRunQV") << "cmdRunQV" << QRect(112, 160, 129, 25) << false << false
                              << "Start Game" << B << face << BT << buttonText << "serif" << 13
                              << true;
    QTest::newRow("cmdCancel") << "cmdCancel" << QRect(216, 128, 129, 25) << true << true
                               << "&Cancel" << B << face << BT << buttonText << "serif" << 13
                               << true;
    QTest::newRow("cmdDone") << "cmdDone" << QRect(8, 128, 129, 25) << true << true << "&Done" << B
                             << face << BT << buttonText << "serif" << 13 << true;
    QTest::newRow("txtMain") << "txtMain" << QRect(8, 0, 337, 97) << true << true << ""
                             << int(QPalette::Base) << QColor(0, 0, 0) << int(QPalette::Text)
                             << QColor(0xFF, 0xFF, 0) << "serif" << 13 << true;
    QTest::newRow("lblPROGRESS") << "lblPROGRESS" << QRect(32, 112, 297, 17) << true << true
                                 << "Label1" << -1 << QColor() << WT << QColor(0xFF, 0xFF, 0xFF)
                                 << "sans" << 12 << false;
    QTest::newRow("prgBar") << "prgBar" << QRect(8, 96, 337, 17) << true << true << "" << -1
                            << QColor() << -1 << QColor() << "sans" << 12 << false;
    QTest::newRow("Downloader1") << "Downloader1" << QRect(8, 8, 80, 32) << true << true << "" << -1
                                 << QColor() << -1 << QColor() << "sans" << 12 << false;
}

void tst_frmUpdate::controlDesign()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(bool, visible);
    QFETCH(bool, enabled);
    QFETCH(QString, text);
    QFETCH(int, backRole);
    QFETCH(QColor, back);
    QFETCH(int, foreRole);
    QFETCH(QColor, fore);
    QFETCH(QString, fontClass);
    QFETCH(int, pixelSize);
    QFETCH(bool, bold);

    frmUpdate w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto *control = w.findChild<QWidget *>(name);
    QVERIFY(control);
    QCOMPARE(control->parentWidget(), &w);
    QCOMPARE(control->geometry(), geometry);
    QCOMPARE(control->isVisible(), visible);
    QCOMPARE(control->isEnabled(), enabled);
    QString shown;
    if (auto *button = qobject_cast<QPushButton *>(control))
        shown = button->text();
    else if (auto *label = qobject_cast<QLabel *>(control))
        shown = label->text();
    else if (auto *edit = qobject_cast<QPlainTextEdit *>(control))
        shown = edit->toPlainText();
    QCOMPARE(shown, text);
    if (backRole >= 0)
        QCOMPARE(control->palette().color(QPalette::Active, QPalette::ColorRole(backRole)), back);
    if (foreRole >= 0)
        QCOMPARE(control->palette().color(QPalette::Active, QPalette::ColorRole(foreRole)), fore);
    QCOMPARE(FontClass(control), fontClass);
    QCOMPARE(QFontInfo(control->font()).pixelSize(), pixelSize);
    QCOMPARE(QFontInfo(control->font()).bold(), bold);
}

void tst_frmUpdate::barAndTimerDesign()
{
    frmUpdate w;
    auto *bar = w.findChild<ProgressBar *>(QStringLiteral("prgBar"));
    QVERIFY(bar);
    QCOMPARE(bar->Min(), 0.0f);
    QCOMPARE(w.BarMax(), 100.0f);
    QCOMPARE(w.BarValue(), 0.0f);
    auto *timer = w.findChild<QTimer *>(QStringLiteral("tmrProgress"));
    QVERIFY(timer);
    QCOMPARE(timer->interval(), 1000);
    QVERIFY(timer->isActive());
    QVERIFY(!timer->isSingleShot());
    QVERIFY(w.Downloader2().isHidden());
}

void tst_frmUpdate::stackingOrder_data()
{
    QTest::addColumn<QPoint>("point");
    QTest::addColumn<QString>("control");
    QTest::newRow("log covers the bar's first row") << QPoint(100, 96) << "txtMain";
    QTest::newRow("bar below the log") << QPoint(100, 97) << "prgBar";
    QTest::newRow("log covers the picture box") << QPoint(20, 20) << "txtMain";
    QTest::newRow("label") << QPoint(40, 120) << "lblPROGRESS";
    QTest::newRow("Done above the label's last row") << QPoint(40, 128) << "cmdDone";
    QTest::newRow("Cancel above the label's last row") << QPoint(300, 128) << "cmdCancel";
    QTest::newRow("hidden Start Game shows the window") << QPoint(170, 170) << "";
    QTest::newRow("rightmost column") << QPoint(353, 50) << "";
}

void tst_frmUpdate::stackingOrder()
{
    QFETCH(QPoint, point);
    QFETCH(QString, control);
    frmUpdate w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(ControlAt(w, point), control);
}

void tst_frmUpdate::tabOrder()
{
    frmUpdate w;
    QStringList order;
    QWidget *next = w.nextInFocusChain();
    for (int i = 0; next != &w && i < 100; ++i, next = next->nextInFocusChain())
        if (next->focusPolicy() & Qt::TabFocus)
            order << next->objectName();
    // The log pane first: it receives the focus when the window shows.
    QCOMPARE(order, (QStringList{"txtMain", "cmdDone", "cmdCancel", "cmdRunQV"}));
}

// The picture is drawn at the origin without scaling: every pixel no control
// covers is the bitmap's, and the column right of its 353 columns shows the
// background colour.
void tst_frmUpdate::backgroundDrawnUnscaledAtOrigin()
{
    frmUpdate w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QImage shown = w.grab().toImage();
    const QImage picture(QStringLiteral(":/frmUpdate.bmp"));
    QCOMPARE(shown.size(), QSize(354, 185));
    for (int y = 0; y < 185; ++y) {
        QCOMPARE(shown.pixelColor(353, y), QColor(0x80, 0x80, 0xFF));
        QCOMPARE(shown.pixelColor(0, y), picture.pixelColor(0, y));
        QCOMPARE(shown.pixelColor(350, y), picture.pixelColor(350, y));
    }
    for (int x = 0; x < 353; ++x)
        QCOMPARE(shown.pixelColor(x, 184), picture.pixelColor(x, 184));
}

void tst_frmUpdate::resources()
{
    QFile bitmap(QStringLiteral(":/frmUpdate.bmp"));
    QVERIFY(bitmap.open(QIODevice::ReadOnly));
    const QByteArray bytes = bitmap.readAll();
    QCOMPARE(bytes.size(), 301096);
    QCOMPARE(bytes.left(2), QByteArray("BM"));
    const QImage picture = QImage::fromData(bytes, "BMP");
    QCOMPARE(picture.size(), QSize(353, 284));
    QCOMPARE(picture.dotsPerMeterX(), 2834);
    QCOMPARE(picture.dotsPerMeterY(), 2834);

    frmUpdate w;
    const QList<QSize> sizes = w.windowIcon().availableSizes();
    QVERIFY2(sizes.contains(QSize(32, 32)), qPrintable(QString::number(sizes.size())));
    QVERIFY(sizes.contains(QSize(16, 16)));
}

void tst_frmUpdate::addText_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("cursor");
    QTest::addColumn<QString>("shown");
    QTest::newRow("nothing yet") << QStringList{} << "" << 0 << "";
    QTest::newRow("one line") << QStringList{"hello"} << "\r\nhello" << 6 << "\nhello";
    QTest::newRow("A B C: before the final C")
        << QStringList{"A", "B", "C"} << "\r\nA\r\nB\r\nC" << 8 << "\nA\nB\nC";
    QTest::newRow("empty message: between CR and LF") << QStringList{""} << "\r\n" << 1 << "\n";
    QTest::newRow("empty after text") << QStringList{"x", ""} << "\r\nx\r\n" << 4 << "\nx\n";
    QTest::newRow("message with its own CR LF")
        << QStringList{"Welcome\r\nto the game"} << "\r\nWelcome\r\nto the game" << 21
        << "\nWelcome\nto the game";
    QTest::newRow("message with bare LF")
        << QStringList{"one\ntwo", "three"} << "\r\none\ntwo\r\nthree" << 15 << "\none\ntwo\nthree";
    QTest::newRow("message ending in CR LF") << QStringList{"end\r\n"} << "\r\nend\r\n"
                                             << 6 << "\nend\n";
    QTest::newRow("run lines") << QStringList{"Downloading updates.ini, please wait...",
                                              "Receiving Update File"}
                               << "\r\nDownloading updates.ini, please wait...\r\nReceiving "
                                  "Update File"
                               << 63
                               << "\nDownloading updates.ini, please wait...\nReceiving "
                                  "Update File";
}

void tst_frmUpdate::addText()
{
    QFETCH(QStringList, lines);
    QFETCH(QString, text);
    QFETCH(int, cursor);
    QFETCH(QString, shown);
    frmUpdate w;
    for (const QString &line : lines)
        w.AddText(line);
    QCOMPARE(w.LogText(), text);
    QCOMPARE(w.LogCursor(), qsizetype(cursor));
    auto *pane = w.findChild<QPlainTextEdit *>(QStringLiteral("txtMain"));
    QVERIFY(pane);
    QCOMPARE(pane->toPlainText(), shown);
    // On screen too the insertion point stands one character before the end.
    QCOMPARE(pane->textCursor().position(), std::max(0, int(shown.size()) - 1));
    QVERIFY(!pane->textCursor().hasSelection());
}

void tst_frmUpdate::addTextScrollsToNewestLine()
{
    frmUpdate w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto *pane = w.findChild<QPlainTextEdit *>(QStringLiteral("txtMain"));
    QVERIFY(pane);
    QScrollBar *bar = pane->verticalScrollBar();
    QVERIFY(bar->isVisible());
    for (int i = 1; i <= 40; ++i) {
        w.AddText(QStringLiteral("Downloading file%1.dat").arg(i));
        QCOMPARE(bar->value(), bar->maximum());
    }
    QVERIFY(bar->maximum() > 0);
    // The newest line is in the pane's visible rectangle.
    const QRect caret = pane->cursorRect();
    QVERIFY(pane->viewport()->rect().contains(caret));
}

void tst_frmUpdate::focusEndsOnCancelAtShow()
{
    frmUpdate w;
    // As the load handler leaves it: Done disabled when the window shows.
    Button(w, "cmdDone")->setEnabled(false);
    ShowActive(w);
    QTRY_COMPARE(QApplication::focusWidget(), Button(w, "cmdCancel"));
}

void tst_frmUpdate::focusIntoLogGoesToCancel_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("click into the text") << "click";
    QTest::newRow("click the scroll bar") << "scrollbar";
    QTest::newRow("Shift+Tab from Done") << "backtab";
    QTest::newRow("focus set directly") << "direct";
}

void tst_frmUpdate::focusIntoLogGoesToCancel()
{
    QFETCH(QString, how);
    frmUpdate w;
    ShowActive(w);
    auto *pane = w.findChild<QPlainTextEdit *>(QStringLiteral("txtMain"));
    QPushButton *done = Button(w, "cmdDone");
    done->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), done);

    QSignalSpy canceled(Button(w, "cmdCancel"), &QPushButton::clicked);
    if (how == "click")
        QTest::mouseClick(pane->viewport(), Qt::LeftButton, {}, QPoint(50, 20));
    else if (how == "scrollbar")
        QTest::mouseClick(pane->verticalScrollBar(), Qt::LeftButton, {}, QPoint(5, 40));
    else if (how == "backtab")
        QTest::keyClick(done, Qt::Key_Backtab, Qt::ShiftModifier);
    else
        pane->setFocus(Qt::TabFocusReason);
    QTRY_COMPARE(QApplication::focusWidget(), Button(w, "cmdCancel"));
    QVERIFY(!pane->hasFocus());
    QCOMPARE(canceled.count(), 0);
    QVERIFY(!w.IsClosed());
}

void tst_frmUpdate::typingIntoLogChangesNothing()
{
    frmUpdate w;
    ShowActive(w);
    w.AddText(QStringLiteral("A"));
    auto *pane = w.findChild<QPlainTextEdit *>(QStringLiteral("txtMain"));
    QTest::mouseClick(pane->viewport(), Qt::LeftButton, {}, QPoint(30, 10));
    // Sent straight to the pane, the keys still find nothing to edit.
    QTest::keyClicks(pane, QStringLiteral("xyz"));
    QTest::keyClick(pane, Qt::Key_Backspace);
    QCOMPARE(w.LogText(), QStringLiteral("\r\nA"));
    QCOMPARE(pane->toPlainText(), QStringLiteral("\nA"));
    QVERIFY(!w.IsClosed());
}

void tst_frmUpdate::keysActivateButtons_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("doneEnabled");
    QTest::addColumn<QString>("clicked");
    const int none = Qt::NoModifier, alt = Qt::AltModifier;
    QTest::newRow("Enter on Cancel") << int(Qt::Key_Return) << none << false << "cmdCancel";
    QTest::newRow("keypad Enter on Cancel") << int(Qt::Key_Enter) << none << false << "cmdCancel";
    QTest::newRow("Space on Cancel") << int(Qt::Key_Space) << none << false << "cmdCancel";
    QTest::newRow("Alt+C, Done disabled") << int(Qt::Key_C) << alt << false << "cmdCancel";
    QTest::newRow("Alt+C, Done enabled") << int(Qt::Key_C) << alt << true << "cmdCancel";
    QTest::newRow("Alt+D, Done enabled") << int(Qt::Key_D) << alt << true << "cmdDone";
    QTest::newRow("Alt+D, Done disabled") << int(Qt::Key_D) << alt << false << "";
    QTest::newRow("Escape") << int(Qt::Key_Escape) << none << false << "";
}

void tst_frmUpdate::keysActivateButtons()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, doneEnabled);
    QFETCH(QString, clicked);
    frmUpdate w;
    Button(w, "cmdDone")->setEnabled(doneEnabled);
    ShowActive(w);
    QPushButton *cancel = Button(w, "cmdCancel");
    cancel->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), cancel);

    QPushButton *done = Button(w, "cmdDone");
    QSignalSpy cancelClicks(cancel, &QPushButton::clicked);
    QSignalSpy doneClicks(done, &QPushButton::clicked);
    // Through the window system, as a real key press goes: access keys are
    // shortcuts, which a key sent to a widget would bypass.
    QTest::keyClick(w.windowHandle(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    // An access key clicks after a short animation, with the button held down.
    QTRY_COMPARE(cancelClicks.count(), clicked == "cmdCancel" ? 1 : 0);
    QTRY_COMPARE(doneClicks.count(), clicked == "cmdDone" ? 1 : 0);
    if (clicked.isEmpty()) {
        QVERIFY(!cancel->isDown());
        QVERIFY(!done->isDown());
    }
    QCOMPARE(w.IsClosed(), !clicked.isEmpty());
    QCOMPARE(w.isVisible(), clicked.isEmpty());
}

void tst_frmUpdate::cancel_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("doneEnabled");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("update not ended: both keys record the cancel")
        << ProfileBefore << false << ProfileCanceled;
    QTest::newRow("update ended: profile left alone") << ProfileBefore << true << ProfileBefore;
    QTest::newRow("keys missing: added to the section")
        << QByteArray("[GENERAL]\r\nHello=h\r\n") << false
        << QByteArray("[GENERAL]\r\nHello=h\r\nLastUpdate=Last Update Canceled\r\n"
                      "LastUpdateTime=Last Update Canceled\r\n");
}

void tst_frmUpdate::cancel()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, doneEnabled);
    QFETCH(QByteArray, after);
    LayOutProgramFolder(before);
    frmUpdate w;
    Button(w, "cmdDone")->setEnabled(doneEnabled);
    ShowActive(w);
    QTest::mouseClick(Button(w, "cmdCancel"), Qt::LeftButton);
    QVERIFY(w.IsClosed());
    QVERIFY(!w.isVisible());
    QCOMPARE(ReadAll(m_dir->filePath("updates/init.ini")), after);
    QCOMPARE(m_boxes, QStringList());
}

// "updates" is a plain file, so no profile can be written below it.
void tst_frmUpdate::cancelWithUnwritableProfileClosesSilently()
{
    QTemporaryDir dir;
    QVERIFY(WriteAll(dir.filePath("updates"), "not a folder"));
    SetProgramFolder(dir.path());
    frmUpdate w;
    Button(w, "cmdDone")->setEnabled(false);
    ShowActive(w);
    QTest::mouseClick(Button(w, "cmdCancel"), Qt::LeftButton);
    QVERIFY(w.IsClosed());
    QVERIFY(!w.isVisible());
    QCOMPARE(ReadAll(dir.filePath("updates")), QByteArray("not a folder"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList{"updates"});
    QCOMPARE(m_boxes, QStringList());
}

void tst_frmUpdate::doneClosesWithoutWriting()
{
    frmUpdate w;
    ShowActive(w);
    QTest::mouseClick(Button(w, "cmdDone"), Qt::LeftButton);
    QVERIFY(w.IsClosed());
    QVERIFY(!w.isVisible());
    QCOMPARE(ReadAll(m_dir->filePath("updates/init.ini")), ProfileBefore);
}

void tst_frmUpdate::closeRequestRefused()
{
    frmUpdate w;
    ShowActive(w);
    QCloseEvent request;
    QApplication::sendEvent(&w, &request);
    QVERIFY(!request.isAccepted());
    QVERIFY(!w.close());
    QVERIFY(w.isVisible());
    QVERIFY(!w.IsClosed());
    // The window's own close still works after a refused request.
    w.CloseWindow();
    QVERIFY(w.IsClosed());
    QVERIFY(!w.isVisible());
}

void tst_frmUpdate::closeWindowDropsTransfersInFlight()
{
    TestHttpServer server;
    server.addFaultEndpoints();
    server.start();
    frmUpdate w;
    ShowActive(w);
    QSignalSpy progress(&w.Downloader2(), &Downloader::DownloadProgress);
    QSignalSpy completed(&w.Downloader2(), &Downloader::DownloadComplete);
    QSignalSpy errors(&w.Downloader2(), &Downloader::DownloadError);
    const QString target = m_dir->filePath("files/slow.dat");
    QVERIFY(QDir(m_dir->path()).mkpath("files"));
    w.Downloader2().BeginDownload(server.url("/slow"), target);
    QVERIFY(progress.wait(5000));
    QCOMPARE(w.Downloader2().InFlight(), 1);

    w.CloseWindow();
    QVERIFY(w.IsClosed());
    QCOMPARE(w.Downloader2().InFlight(), 0);

    // The same transfer on a second downloader finishes; by then the
    // dropped one would have finished too.
    Downloader other;
    QSignalSpy otherDone(&other, &Downloader::DownloadComplete);
    other.BeginDownload(server.url("/slow"), m_dir->filePath("other.dat"));
    QVERIFY(otherDone.wait(10000));
    QCOMPARE(completed.count(), 0);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(QDir(m_dir->filePath("files")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList());
}

void tst_frmUpdate::progressEventsMoveBarAndCaption()
{
    frmUpdate w;
    emit w.Downloader2().DownloadProgress(512, 2048, m_dir->filePath("x"));
    QCOMPARE(w.BarMax(), 2048.0f);
    QCOMPARE(w.BarValue(), 512.0f);
    auto *bar = w.findChild<ProgressBar *>(QStringLiteral("prgBar"));
    QCOMPARE(bar->FilledShare(), 0.25);
    QCOMPARE(w.findChild<QLabel *>(QStringLiteral("lblPROGRESS"))->text(),
             QStringLiteral("512 of 2048"));
}

// Without the load handler the run procedure never returns, so a full bar
// must not enable Done on a tick.
void tst_frmUpdate::timerDoesNotEnableDoneBeforeRunReturned()
{
    frmUpdate w;
    Button(w, "cmdDone")->setEnabled(false);
    emit w.Downloader2().DownloadProgress(2048, 2048, m_dir->filePath("x"));
    QSignalSpy ticks(w.findChild<QTimer *>(QStringLiteral("tmrProgress")), &QTimer::timeout);
    QVERIFY(ticks.wait(3000));
    QVERIFY(!w.DoneEnabled());
}

// A whole run with nothing to update: the list's date and time are the ones
// recorded, so the run ends with the closing block and returns.
void tst_frmUpdate::loadHandlerRemovesCloseCommandAndShows()
{
    TestHttpServer server;
    server.server().Get("/hello", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("Welcome", "text/plain");
    });
    server.server().Get("/list/updates.txt", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("[GENERAL]\r\nTotalFiles=0\r\nDate=2026-11-30\r\nTime=18:30\r\n",
                        "text/plain");
    });
    server.start();
    LayOutProgramFolder("[GENERAL]\r\nHello=" + server.url("/hello").toUtf8() +
                        "\r\nUpdateFileURL=" + server.url("/list").toUtf8() +
                        "\r\nLastUpdate=2026-11-30\r\nLastUpdateTime=18:30\r\n");
    frmUpdate w;
    w.Form_Load();
    QVERIFY(!w.IsClosed());
    QVERIFY(w.isVisible());
    QVERIFY(!(w.windowFlags() & Qt::WindowCloseButtonHint));
    QVERIFY(w.LogText().startsWith(QStringLiteral("\r\nWelcome\r\n")));
    QVERIFY(w.LogText().endsWith(QStringLiteral("\r\nNo Files to Update")));
    QVERIFY(w.DoneEnabled());
    QVERIFY(!w.close());
    QVERIFY(w.isVisible());
    QTRY_COMPARE(QApplication::focusWidget(), Button(w, "cmdCancel"));
    QCOMPARE(m_boxes, QStringList());
}

void tst_frmUpdate::loadHandlerFailedRunClosesWindow()
{
    TestHttpServer server;
    server.addFaultEndpoints();
    server.start();
    LayOutProgramFolder("[GENERAL]\r\nHello=" + server.url("/404").toUtf8() + "\r\n");
    const QByteArray profile = ReadAll(m_dir->filePath("updates/init.ini"));
    frmUpdate w;
    w.Form_Load();
    QCOMPARE(m_boxes, QStringList{"Update Failed: Update Failed, Shutting Down."});
    QVERIFY(w.IsClosed());
    QVERIFY(!w.isVisible());
    QCOMPARE(ReadAll(m_dir->filePath("updates/init.ini")), profile);
}

QTEST_MAIN(tst_frmUpdate)
#include "tst_frmUpdate.moc"
