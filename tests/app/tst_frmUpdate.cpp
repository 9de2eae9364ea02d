#include "app/ModalBox.h"
#include "app/ProgressBar.h"
#include "app/frmUpdate.h"
#include "download/Downloader.h"
#include "profile/modTypes.h"
#include "tests/support/TestHttpServer.h"
#include "update/ProgramFolder.h"

#include <QtTest>
#include <QtWidgets>

namespace
{
const QColor face(0x80, 0x80, 0xFF);

template <class T = QWidget> T *Child(QWidget &w, const char *name)
{
    return w.findChild<T *>(QLatin1String(name));
}

} // namespace

// No test may show a message box: the window's own paths end silently.
class tst_frmUpdate : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QStringList m_boxes;

private slots:
    void init()
    {
        setModalBoxPresenter([this](QWidget *, const ModalBoxRequest &r) { m_boxes << r.text; });
        setProgramFolder(m_dir.path());
    }
    void cleanup() { QCOMPARE(m_boxes, QStringList()); }

    // The buttons show a flat face in #8080FF inside a raised edge (a Fusion
    // gradient reads 191,191,252), greyed text when disabled and the access
    // key underlined. The focus that lands on the log goes on to Cancel. The
    // run's progress events give the bar its range and value as floats and
    // the caption the exact counts; a tick before the run has returned never
    // ends the update, however full the bar.
    void look()
    {
        frmUpdate w;
        w.show();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTRY_COMPARE(QApplication::focusWidget(), Child(w, "cmdCancel"));
        auto *done = Child<QPushButton>(w, "cmdDone");
        const QImage withKey = done->grab().toImage();
        done->setText(QStringLiteral("Done"));
        const QImage withoutKey = done->grab().toImage();
        QList<int> underline; // the rows where the two differ
        for (int y = 0; y < withKey.height(); ++y)
            if (withKey.copy(0, y, withKey.width(), 1) != withoutKey.copy(0, y, withKey.width(), 1))
                underline << y;
        QVERIFY(!underline.isEmpty() && underline.size() <= 2);

        // The darkest grey inside the edges of Done.
        const auto darkest = [](QImage shot) {
            shot = shot.copy(12, 132, 120, 17).convertToFormat(QImage::Format_Grayscale8);
            return *std::min_element(shot.constBits(), shot.constBits() + shot.sizeInBytes());
        };
        const QImage enabled = w.grab().toImage();
        done->setEnabled(false);
        const QImage disabled = w.grab().toImage();
        for (const QImage &shot : {enabled, disabled})
            for (const int left : {8, 216}) {
                QCOMPARE(QColor(shot.pixel(left + 6, 140)), face);
                QVERIFY(qGray(shot.pixel(left, 140)) > qGray(face.rgb()));
                QVERIFY(qGray(shot.pixel(left + 128, 140)) < qGray(face.rgb()));
            }
        QCOMPARE_GT(darkest(disabled), darkest(enabled));

        auto *bar = Child<ProgressBar>(w, "prgBar");
        for (const auto &[current, maximum] :
             {std::pair<qint64, qint64>{700, 16777217}, {2147483647, 2147483647}}) {
            emit w.Downloader2().DownloadProgress(current, maximum, QStringLiteral("ignored"));
            // Exact: QCOMPARE on a float alone is fuzzy.
            QCOMPARE(std::pair(bar->max(), bar->value()),
                     std::pair(float(maximum), float(current)));
            QCOMPARE(Child<QLabel>(w, "lblPROGRESS")->text(),
                     QStringLiteral("%1 of %2").arg(current).arg(maximum));
        }
        Child<QTimer>(w, "tmrProgress")->setInterval(1);
        QVERIFY(QSignalSpy(Child<QTimer>(w, "tmrProgress"), &QTimer::timeout).wait());
        QVERIFY(!w.doneEnabled());
    }

    // A Cancel during the run stops it (nothing more is logged), records the
    // cancel and closes the window. A greeting line longer than 1,024
    // characters shows in pieces, broken after a blank where it has one,
    // while the log's text keeps it whole.
    void cancelDuringRun()
    {
        QVERIFY(QDir(m_dir.path()).mkpath("updates"));
        TestHttpServer server;
        QVERIFY(WriteIni(initIniPath(), "GENERAL", "Hello", server.url("/hello")) &&
                WriteIni(initIniPath(), "GENERAL", "UpdateFileURL", server.url("")));
        frmUpdate w;
        QPushButton *cmdCancel = Child<QPushButton>(w, "cmdCancel");
        const QString greeting = QString(1100, u'x') + QString(" word").repeated(300);
        server.server().Get("/hello", [&](auto &, auto &res) {
            QMetaObject::invokeMethod(cmdCancel, &QPushButton::click, Qt::QueuedConnection);
            res.set_content(greeting.toStdString(), "text/plain");
        });
        server.server().Get("/updates.txt", [](auto &, auto &res) {
            res.set_content("[GENERAL]\r\nTotalFiles=0\r\n", "text/plain");
        });
        server.start();
        w.formLoad();
        QVERIFY(w.isClosed() && !w.isVisible() && !w.doneEnabled());
        QVERIFY(w.logText().startsWith("\r\n" + greeting + "\r\nDownloading updates.ini"));
        QVERIFY(w.logText().endsWith("please wait..."));
        QCOMPARE(ReadIni(initIniPath(), "GENERAL", "LastUpdateTime"), "Last Update Canceled");
        const QStringList shown = Child<QPlainTextEdit>(w, "txtMain")->toPlainText().split('\n');
        QCOMPARE(shown[1], QString(1024, u'x'));
        QVERIFY(shown[2].size() <= 1024 && shown[2].endsWith(' ') && shown[3].size() <= 1024);
        QCOMPARE(shown.mid(1).join("").left(greeting.size()), greeting);
    }
};

QTEST_MAIN(tst_frmUpdate)
#include "tst_frmUpdate.moc"
