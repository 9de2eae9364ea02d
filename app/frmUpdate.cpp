#include "app/frmUpdate.h"

#include "app/FlatFaceButton.h"
#include "app/ModalBox.h"
#include "app/ProgressBar.h"
#include "app/StatusLog.h"
#include "download/Downloader.h"
#include "update/UpdateRun.h"

#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

namespace
{
const QColor formBackColor(0x80, 0x80, 0xFF);
const QColor formForeColor(0xFF, 0xFF, 0xFF);
const QColor buttonFaceColor(0x80, 0x80, 0xFF);
const QColor logBackColor(0x00, 0x00, 0x00);
const QColor logForeColor(0xFF, 0xFF, 0x00);

// Sizes are pixels at 96 dpi: 9 pt is 12 px, 9.75 pt is 13 px. Pixel sizes
// keep the text in step with the fixed pixel layout on any screen. Where the
// face is not installed, the nearest face of its style stands in.
QFont designFont(const QString &family, QFont::StyleHint style, int pixelSize, QFont::Weight weight)
{
    QFont font(family);
    font.setStyleHint(style);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QFont arialFont()
{
    return designFont(QStringLiteral("Arial"), QFont::SansSerif, 12, QFont::Normal);
}

QFont msSerifBoldFont()
{
    return designFont(QStringLiteral("MS Serif"), QFont::Serif, 13, QFont::Bold);
}

// The application's palette with every role fixed, so that a control keeps
// the platform's colours instead of inheriting the window's.
QPalette systemPalette(const QWidget *widget)
{
    QPalette palette = QApplication::palette(widget);
    palette.setResolveMask(~QPalette::ResolveMask(0));
    return palette;
}

QPushButton *makeButton(QWidget *parent, const char *name, const QString &text,
                        const QRect &geometry)
{
    auto *button = new FlatFaceButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(geometry);
    QPalette palette = systemPalette(button);
    palette.setColor(QPalette::Button, buttonFaceColor);
    button->setPalette(palette);
    button->setFont(msSerifBoldFont());
    // Enter activates the focused button, as the space bar does.
    button->setAutoDefault(true);
    return button;
}
} // namespace

frmUpdate::frmUpdate(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("frmUpdate"));
    setWindowTitle(QStringLiteral("Torvale Software Auto-Updater"));
    setWindowIcon(QIcon(QStringLiteral(":/frmUpdate.ico")));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setGeometry(329, 244, 354, 185);
    setFixedSize(354, 185);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, formBackColor);
    palette.setColor(QPalette::WindowText, formForeColor);
    setPalette(palette);
    setFont(arialFont());
    m_background.load(QStringLiteral(":/frmUpdate.bmp"));

    tmrProgress = new QTimer(this);
    tmrProgress->setObjectName(QStringLiteral("tmrProgress"));
    tmrProgress->setInterval(1000);

    cmdCancel = makeButton(this, "cmdCancel", QStringLiteral("&Cancel"), QRect(216, 128, 129, 25));
    cmdDone = makeButton(this, "cmdDone", QStringLiteral("&Done"), QRect(8, 128, 129, 25));

    txtMain = new StatusLog(this);
    txtMain->setObjectName(QStringLiteral("txtMain"));
    txtMain->setGeometry(8, 0, 337, 97);
    QPalette logPalette = systemPalette(txtMain);
    logPalette.setColor(QPalette::Base, logBackColor);
    logPalette.setColor(QPalette::Text, logForeColor);
    txtMain->setPalette(logPalette);
    txtMain->setFont(msSerifBoldFont());

    prgBar = new ProgressBar(this);
    prgBar->setObjectName(QStringLiteral("prgBar"));
    prgBar->setGeometry(8, 96, 337, 17);
    prgBar->setPalette(systemPalette(prgBar));

    // An empty picture box that the log pane covers.
    Downloader1 = new QWidget(this);
    Downloader1->setObjectName(QStringLiteral("Downloader1"));
    Downloader1->setGeometry(8, 8, 80, 32);

    lblPROGRESS = new QLabel(QStringLiteral("Label1"), this);
    lblPROGRESS->setObjectName(QStringLiteral("lblPROGRESS"));
    lblPROGRESS->setGeometry(32, 112, 297, 17);
    lblPROGRESS->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblPROGRESS->setTextFormat(Qt::PlainText);

    // Created last, so that it also ends the focus chain.
    cmdRunQV = makeButton(this, "cmdRunQV", QStringLiteral("Start Game"), QRect(112, 160, 129, 25));
    cmdRunQV->setEnabled(false);
    cmdRunQV->setVisible(false);

    // Later siblings are drawn above earlier ones: raise from the last
    // control of the design to the first.
    QWidget *const bottomToTop[] = {lblPROGRESS, Downloader1, prgBar,  txtMain,
                                    cmdDone,     cmdCancel,   cmdRunQV};
    for (QWidget *control : bottomToTop)
        control->raise();

    // Tab order of the controls that take the focus (the label, the bar and
    // the picture box never do). The log pane comes first, so it is the one
    // that receives the focus when the window shows, and hands it on.
    setTabOrder(txtMain, cmdDone);
    setTabOrder(cmdDone, cmdCancel);

    m_run = new UpdateRun(this);

    connect(txtMain, &StatusLog::focusReceived, cmdCancel,
            [this] { cmdCancel->setFocus(Qt::OtherFocusReason); });
    connect(cmdCancel, &QPushButton::clicked, this, &frmUpdate::cmdCancelClicked);
    connect(cmdDone, &QPushButton::clicked, this, &frmUpdate::cmdDoneClicked);
    connect(tmrProgress, &QTimer::timeout, m_run, &UpdateRun::tick);
    connect(m_run, &UpdateRun::logLine, this, &frmUpdate::AddText);
    connect(m_run, &UpdateRun::barChanged, prgBar, [this](float max, float value) {
        prgBar->setMax(max);
        prgBar->setValue(value);
    });
    connect(m_run, &UpdateRun::progressText, lblPROGRESS, &QLabel::setText);
    connect(m_run, &UpdateRun::ended, cmdDone, [this] { cmdDone->setEnabled(true); });
    connect(m_run, &UpdateRun::failed, this, &frmUpdate::showFailure);
    connect(m_run, &UpdateRun::warning, this, [this](const QString &text, const QString &title) {
        showModalBox(this, text, title, BoxIcon::Stop);
    });

    tmrProgress->start();
}

frmUpdate::~frmUpdate() = default;

void frmUpdate::formLoad()
{
    setWindowFlag(Qt::WindowCloseButtonHint, false);
    cmdDone->setEnabled(false);
    show();
    m_run->RetrieveUpdateList();
}

void frmUpdate::setVerifyAll(bool verifyAll)
{
    m_run->setVerifyAll(verifyAll);
}

void frmUpdate::AddText(const QString &msg)
{
    txtMain->AddText(msg);
}

QString frmUpdate::logText() const
{
    return txtMain->text();
}

qsizetype frmUpdate::logCursor() const
{
    return txtMain->insertionPoint();
}

float frmUpdate::barMax() const
{
    return prgBar->max();
}

float frmUpdate::barValue() const
{
    return prgBar->value();
}

bool frmUpdate::doneEnabled() const
{
    return cmdDone->isEnabled();
}

Downloader &frmUpdate::Downloader2()
{
    return m_run->Downloader2();
}

bool frmUpdate::isClosed() const
{
    return m_closed;
}

void frmUpdate::closeWindow()
{
    if (m_closed)
        return;
    m_closed = true;
    tmrProgress->stop();
    m_run->stop();
    close();
}

void frmUpdate::showFailure(const QString &text, const QString &title)
{
    if (m_closed)
        return;
    showModalBox(this, text, title, BoxIcon::None);
    closeWindow();
}

void frmUpdate::closeEvent(QCloseEvent *event)
{
    // Close box, Alt+F4 and the window manager's menu are refused: the window
    // ends only through Done, Cancel or the failure path.
    if (m_closed)
        event->accept();
    else
        event->ignore();
}

void frmUpdate::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_background);
}

void frmUpdate::cmdCancelClicked()
{
    // The run records the cancelled update itself while it has not ended.
    m_run->cancel();
    closeWindow();
}

void frmUpdate::cmdDoneClicked()
{
    closeWindow();
}
