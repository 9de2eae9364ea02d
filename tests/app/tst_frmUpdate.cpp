#include "app/ModalBox.h"
#include "app/ProgressBar.h"
#include "app/frmUpdate.h"
#include "download/Downloader.h"
#include "tests/support/TestHttpServer.h"
#include "update/ProgramFolder.h"

#include <QtTest>
#include <QtWidgets>

namespace
{
const QColor formBack(0x80, 0x80, 0xFF);
const QByteArray ProfileBefore = "[GENERAL]\r\nHello=http://127.0.0.1:9/hello\r\n"
                                 "UpdateFileURL=http://127.0.0.1:9\r\n"
                                 "LastUpdate=2026-11-30\r\nLastUpdateTime=18:30\r\n";
const QByteArray ProfileCanceled = QByteArray(ProfileBefore)
                                       .replace("2026-11-30", "Last Update Canceled")
                                       .replace("18:30", "Last Update Canceled");

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

template <class T = QWidget> T *Child(QWidget &w, const QString &name)
{
    return w.findChild<T *>(name);
}

bool ShowActive(QWidget &w)
{
    w.show();
    w.activateWindow();
    return QTest::qWaitForWindowActive(&w);
}
} // namespace

// Every test gets a fresh program folder holding updates/init.ini, and none
// may show a message box: the window's own paths end silently.
class tst_frmUpdate : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QStringList m_boxes;

    void LayOutProgramFolder(const QByteArray &profile)
    {
        QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("updates")));
        QVERIFY(WriteAll(m_dir->filePath("updates/init.ini"), profile));
        SetProgramFolder(m_dir->path());
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_boxes.clear();
        SetModalBoxPresenter(
            [this](QWidget *, const ModalBoxRequest &r) { m_boxes << r.title + ": " + r.text; });
        LayOutProgramFolder(ProfileBefore);
    }

    void cleanup()
    {
        SetModalBoxPresenter({});
        SetProgramFolder({});
        QCOMPARE(m_boxes, QStringList());
    }

    void design()
    {
        frmUpdate w;
        QVERIFY(ShowActive(w));
        QCOMPARE(w.windowTitle(), QStringLiteral("Torvale Software Auto-Updater"));
        QCOMPARE(w.minimumSize(), QSize(354, 185));
        QCOMPARE(w.maximumSize(), QSize(354, 185));
        QVERIFY(!(w.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        const QList<QSize> icons = w.windowIcon().availableSizes();
        QVERIFY(icons.contains(QSize(32, 32)) && icons.contains(QSize(16, 16)));
        const std::pair<QString, QRect> layout[] = {
            {"cmdCancel", {216, 128, 129, 25}}, {"cmdDone", {8, 128, 129, 25}},
            {"txtMain", {8, 0, 337, 97}},       {"prgBar", {8, 96, 337, 17}},
            {"Downloader1", {8, 8, 80, 32}},    {"lblPROGRESS", {32, 112, 297, 17}}};
        for (const auto &[name, geometry] : layout)
            QCOMPARE(Child(w, name)->geometry(), geometry);
        QVERIFY(!Child(w, "cmdRunQV")->isVisible() && !Child(w, "cmdRunQV")->isEnabled());

        // Buttons and log in 13 px bold serif, the rest in the window's 12 px sans.
        for (const char *name : {"cmdRunQV", "cmdCancel", "cmdDone", "txtMain", "lblPROGRESS"}) {
            const QFontInfo font(Child(w, name)->font());
            const bool serif = name != QLatin1String("lblPROGRESS");
            QVERIFY2(font.family().contains(serif ? "Serif" : "Sans"), qPrintable(font.family()));
            QCOMPARE(font.pixelSize(), serif ? 13 : 12);
            QCOMPARE(font.bold(), serif);
        }
        QCOMPARE(Child(w, "txtMain")->palette().color(QPalette::Base), Qt::black);
        QCOMPARE(Child(w, "txtMain")->palette().color(QPalette::Text), Qt::yellow);
        // Buttons, log and bar keep the platform's colours instead of the window's.
        for (const char *name : {"cmdDone", "txtMain", "prgBar"})
            QCOMPARE(Child(w, name)->palette().color(QPalette::Window),
                     QApplication::palette().color(QPalette::Window));

        // Where two controls overlap, the earlier one of the design lies on
        // top (log over bar and picture box, Done over the label); the hidden
        // Start Game button shows the window behind it.
        const std::pair<QPoint, QString> probes[] = {{{100, 96}, "txtMain"},
                                                     {{20, 20}, "txtMain"},
                                                     {{40, 128}, "cmdDone"},
                                                     {{170, 170}, ""}};
        for (const auto &[point, control] : probes) {
            QWidget *hit = w.childAt(point);
            while (hit && hit->parentWidget() != &w)
                hit = hit->parentWidget();
            QCOMPARE(hit ? hit->objectName() : QString(), control);
        }

        // The log pane first: it receives the focus when the window shows.
        QStringList order;
        for (QWidget *next = w.nextInFocusChain(); next != &w; next = next->nextInFocusChain())
            if (next->focusPolicy() & Qt::TabFocus)
                order << next->objectName();
        QCOMPARE(order, (QStringList{"txtMain", "cmdDone", "cmdCancel", "cmdRunQV"}));

        // The picture is drawn at the origin without scaling: the strips no
        // control covers are the bitmap's, and the column right of its 353
        // columns shows the background colour.
        const QImage shown = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QImage picture = QImage(":/frmUpdate.bmp").convertToFormat(QImage::Format_RGB32);
        for (const QRect &r : {QRect(0, 0, 8, 185), QRect(345, 0, 8, 185), QRect(0, 153, 353, 32)})
            QCOMPARE(shown.copy(r), picture.copy(r));
        QImage column(1, 185, QImage::Format_RGB32);
        column.fill(formBack);
        QCOMPARE(shown.copy(353, 0, 1, 185), column);

        // The buttons, painted alike on every platform: a flat face in the
        // design's colour, enabled or not, inside a raised edge (lighter left,
        // darker right); a dotted frame inside the edge of the focused one
        // (Cancel), none on the other; greyed text when disabled.
        QTRY_COMPARE(QApplication::focusWidget(), Child(w, "cmdCancel"));
        const QImage enabled = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
        Child(w, "cmdDone")->setEnabled(false);
        const QImage disabled = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(QColor(Child(w, "cmdRunQV")->grab().toImage().pixel(6, 12)), formBack);
        QImage faceRow(121, 1, QImage::Format_RGB32);
        faceRow.fill(formBack);
        for (const QImage &shot : {enabled, disabled}) {
            for (const int left : {8, 216}) {
                QCOMPARE(QColor(shot.pixel(left + 6, 140)), formBack);
                QVERIFY(qGray(shot.pixel(left, 140)) > qGray(formBack.rgb()));
                QVERIFY(qGray(shot.pixel(left + 128, 140)) < qGray(formBack.rgb()));
                QCOMPARE(shot.copy(left + 4, 131, 121, 1) == faceRow, left == 8);
            }
        }
        const auto darkest = [](const QImage &shot) {
            int gray = 255;
            for (int y = 132; y < 149; ++y)
                for (int x = 12; x < 133; ++x)
                    gray = std::min(gray, qGray(shot.pixel(x, y)));
            return gray;
        };
        QCOMPARE_GT(darkest(disabled), darkest(enabled));
    }

    // Each line goes in behind a CR LF, and the insertion point stays one
    // character before the end, on screen as in the kept text, and in view.
    // On screen every line break is a single one, and a line longer than
    // 1024 characters is broken into pieces, after a blank where it has one
    // and never inside a character: laid out whole, one such line held the
    // window for seconds.
    void addText_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("screen");
        QTest::newRow("empty message: between CR and LF") << QStringList{""} << "\r\n"
                                                          << "\n";
        QTest::newRow("message's own CR LF, LF and CR")
            << QStringList{"one\r\ntwo\nthree\rfour"} << "\r\none\r\ntwo\nthree\rfour"
            << "\none\ntwo\nthree\nfour";
        QTest::newRow("forty lines scroll")
            << QStringList(40, "x") << QString("\r\nx").repeated(40) << QString("\nx").repeated(40);
        const QString unbroken = QString(1023, 'x') + "\U0001F600" + QString(600, 'y');
        const QString words = QString("word ").repeated(300);
        QTest::newRow("long lines in pieces")
            << QStringList{unbroken, words} << "\r\n" + unbroken + "\r\n" + words
            << "\n" + QString(1023, 'x') + "\n\U0001F600" + QString(600, 'y') + "\n" +
                   QString("word ").repeated(204) + "\n" + QString("word ").repeated(96);
    }

    void addText()
    {
        QFETCH(QStringList, lines);
        QFETCH(QString, text);
        QFETCH(QString, screen);
        frmUpdate w;
        QVERIFY(ShowActive(w));
        for (const QString &line : lines)
            w.AddText(line);
        QCOMPARE(w.LogText(), text);
        QCOMPARE(w.LogCursor(), text.size() - 1);
        auto *pane = Child<QPlainTextEdit>(w, "txtMain");
        QCOMPARE(pane->toPlainText(), screen);
        QCOMPARE(pane->textCursor().position(), screen.size() - 1);
        QVERIFY(!pane->textCursor().hasSelection());
        QVERIFY(pane->viewport()->rect().contains(pane->cursorRect()));
    }

    // Keys go through the window system, as a real key press does: access keys
    // are shortcuts, which a key sent to a widget would bypass. Done starts with
    // the focus when enabled, else Cancel. However the log gets the focus, it
    // hands it on to Cancel, and keys sent to it find nothing to edit. Cancel
    // before the update has ended records the cancel in the profile. The close
    // box, Alt+F4 and the window manager ask through a close event, which is
    // refused: only Done, Cancel and the failure path end the window.
    void input_data()
    {
        QTest::addColumn<QString>("input"); // a key sequence, or the part of the log clicked
        QTest::addColumn<bool>("doneEnabled");
        QTest::addColumn<QString>("clicked");
        QTest::newRow("Enter on Cancel") << "Return" << false << "cmdCancel";
        QTest::newRow("Alt+C") << "Alt+C" << true << "cmdCancel";
        QTest::newRow("Alt+D") << "Alt+D" << true << "cmdDone";
        QTest::newRow("Alt+D, Done disabled") << "Alt+D" << false << "";
        QTest::newRow("Escape") << "Esc" << false << "";
        QTest::newRow("Shift+Tab from Done into the log") << "Shift+Tab" << true << "";
        QTest::newRow("click into the log") << "text" << true << "";
        QTest::newRow("close box") << "close" << false << "";
    }

    void input()
    {
        QFETCH(QString, input);
        QFETCH(bool, doneEnabled);
        QFETCH(QString, clicked);
        frmUpdate w;
        auto *cancel = Child<QPushButton>(w, "cmdCancel");
        auto *done = Child<QPushButton>(w, "cmdDone");
        auto *pane = Child<QPlainTextEdit>(w, "txtMain");
        done->setEnabled(doneEnabled);
        QVERIFY(ShowActive(w));
        w.AddText(QStringLiteral("A"));
        QWidget *start = doneEnabled ? done : cancel;
        start->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), start);
        QSignalSpy cancelClicks(cancel, &QPushButton::clicked);
        QSignalSpy doneClicks(done, &QPushButton::clicked);
        const QKeyCombination key = QKeySequence(input)[0];
        if (input == "text")
            QTest::mouseClick(pane->viewport(), Qt::LeftButton, {}, QPoint(50, 20));
        else if (input == "close")
            QVERIFY(!w.close());
        else
            QTest::keyClick(w.windowHandle(), key.key(), key.keyboardModifiers());
        // An access key clicks after a short animation, with the button held down.
        QTRY_COMPARE(cancelClicks.count(), clicked == "cmdCancel" ? 1 : 0);
        QTRY_COMPARE(doneClicks.count(), clicked == "cmdDone" ? 1 : 0);
        QVERIFY(!cancel->isDown() && !done->isDown());
        QCOMPARE(w.IsClosed(), !clicked.isEmpty());
        QCOMPARE(w.isVisible(), clicked.isEmpty());
        if (clicked.isEmpty())
            QTRY_COMPARE(QApplication::focusWidget(), cancel);
        QTest::keyClicks(pane, QStringLiteral("xyz"));
        QTest::keyClick(pane, Qt::Key_Backspace);
        QCOMPARE(w.LogText(), QStringLiteral("\r\nA"));
        QCOMPARE(pane->toPlainText(), QStringLiteral("\nA"));
        QCOMPARE(ReadAll(m_dir->filePath("updates/init.ini")),
                 clicked == "cmdCancel" && !doneEnabled ? ProfileCanceled : ProfileBefore);
    }

    // "updates" is a plain file, so no profile can be written below it.
    void cancelWithUnwritableProfileClosesSilently()
    {
        const QString updates = m_dir->filePath("updates");
        QVERIFY(QDir(updates).removeRecursively() && WriteAll(updates, "not a folder"));
        frmUpdate w;
        Child(w, "cmdDone")->setEnabled(false);
        QVERIFY(ShowActive(w));
        QTest::mouseClick(Child(w, "cmdCancel"), Qt::LeftButton);
        QVERIFY(w.IsClosed() && !w.isVisible());
        QCOMPARE(ReadAll(updates), QByteArray("not a folder"));
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{"updates"});
    }

    // Progress events move the bar and the caption; without the load handler the
    // run procedure never returns, so a full bar must not enable Done on a tick.
    void progressEventsButNoDoneBeforeRunReturned()
    {
        frmUpdate w;
        Child(w, "cmdDone")->setEnabled(false);
        emit w.Downloader2().DownloadProgress(2048, 2048, m_dir->filePath("x"));
        QCOMPARE(Child<ProgressBar>(w, "prgBar")->FilledShare(), 1.0);
        QCOMPARE(Child<QLabel>(w, "lblPROGRESS")->text(), QStringLiteral("2048 of 2048"));
        QSignalSpy ticks(Child<QTimer>(w, "tmrProgress"), &QTimer::timeout);
        QVERIFY(ticks.wait(3000));
        QVERIFY(!w.DoneEnabled());
    }

    // A whole run with nothing to update: the list's date and time are the ones
    // recorded, so the run ends with the closing block and returns. The focus
    // lands on Cancel once the window shows.
    void loadHandlerRunsTheUpdate()
    {
        TestHttpServer server;
        server.server().Get("/hello",
                            [](auto &, auto &res) { res.set_content("Welcome", "text/plain"); });
        server.server().Get("/list/updates.txt", [](auto &, auto &res) {
            res.set_content("[GENERAL]\r\nTotalFiles=0\r\nDate=2026-11-30\r\nTime=18:30\r\n",
                            "text/plain");
        });
        server.start();
        LayOutProgramFolder("[GENERAL]\r\nHello=" + server.url("/hello").toUtf8() +
                            "\r\nUpdateFileURL=" + server.url("/list").toUtf8() +
                            "\r\nLastUpdate=2026-11-30\r\nLastUpdateTime=18:30\r\n");
        frmUpdate w;
        w.Form_Load();
        QVERIFY(w.isVisible() && !w.IsClosed());
        QVERIFY(!(w.windowFlags() & Qt::WindowCloseButtonHint));
        QVERIFY(w.LogText().endsWith(QStringLiteral("\r\nNo Files to Update")));
        QVERIFY(w.DoneEnabled());
        QTRY_COMPARE(QApplication::focusWidget(), Child(w, "cmdCancel"));
    }
};

QTEST_MAIN(tst_frmUpdate)
#include "tst_frmUpdate.moc"
