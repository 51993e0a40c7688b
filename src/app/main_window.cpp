#include "app/main_window.h"

#include <algorithm>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>


#include "app/module.h"
#include "app/trace.h"
#include "log/log.h"

namespace pelorin::app {
namespace {

constexpr int kWidth = 480;
constexpr int kHeight = 214;
// What a notification area shows of a hint.
constexpr qsizetype kHintLimit = 63;
// How often a module that wants a tray icon looks for a notification area that came later.
constexpr int kTrayPollMs = 5000;

QString shown(const std::string& text) {
    return QString::fromStdString(text);
}

template <typename W>
W* named(W* widget, const char* name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QLabel* label(QWidget* parent, const QString& text, int x, int y, int w = 90) {
    auto* l = new QLabel(text, parent);
    l->setGeometry(x, y, w, 20);
    return l;
}

void fill(QComboBox* box, const std::vector<std::string>& items) {
    for (const std::string& item : items) box->addItem(shown(item));
}

// Shows `text` in a combo box whether or not its list holds it (an argument may name a type
// or speed the list lacks).
void select(QComboBox* box, const std::string& text) {
    const QString value = shown(text);
    const int at = box->findText(value);
    if (at < 0) {
        box->setEditable(true);
        box->setEditText(value);
    } else {
        box->setCurrentIndex(at);
    }
}

} // namespace

MainWindow::MainWindow(Module& module, QWidget* parent) : QWidget(parent), module_(module) {
    setObjectName(QStringLiteral("TFRMain"));
    setWindowTitle(QString::fromLatin1(kCaption));
    // A fixed border and no title-bar buttons: the window is ended through STOP, the tray
    // menu or its row, not by a click on a corner.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kWidth, kHeight);

    label(this, QStringLiteral("ComPort"), 8, 8, 60);
    cport_ = named(new QComboBox(this), "cport");
    cport_->setGeometry(70, 8, 70, 22);
    cport_->setEnabled(false);
    label(this, QStringLiteral("Modem"), 150, 8, 45);
    cmodem_ = named(new QComboBox(this), "cmodem");
    cmodem_->setGeometry(197, 8, 130, 22);
    cmodem_->setEnabled(false);

    Button1_ = named(new QPushButton(QStringLiteral("START"), this), "Button1");
    Button1_->setGeometry(335, 8, 65, 24);
    Button3_ = named(new QPushButton(QStringLiteral("STOP"), this), "Button3");
    Button3_->setGeometry(405, 8, 65, 24);
    Button2_ = named(new QPushButton(QStringLiteral("HIDE"), this), "Button2");
    Button2_->setGeometry(405, 36, 65, 24);
    // The test button sits outside the visible client area, as it always has.
    testButton_ = named(new QPushButton(QStringLiteral("Kirim SMS"), this), "TestButton");
    testButton_->setGeometry(kWidth + 10, 8, 80, 24);

    msaldo_ = named(new QLabel(this), "msaldo");
    msaldo_->setGeometry(8, 36, 390, 20);

    Gsetmodem_ = named(new QGroupBox(QStringLiteral("Setting Modem"), this), "Gsetmodem");
    Gsetmodem_->setGeometry(8, 60, 462, 90);
    label(Gsetmodem_, QStringLiteral("Baudrate"), 8, 20);
    cbaud_ = named(new QComboBox(Gsetmodem_), "cbaud");
    cbaud_->setGeometry(100, 20, 110, 22);
    label(Gsetmodem_, QStringLiteral("Handshake"), 220, 20);
    chands_ = named(new QComboBox(Gsetmodem_), "chands");
    chands_->setGeometry(310, 20, 110, 22);
    label(Gsetmodem_, QStringLiteral("Nama"), 8, 50);
    enama_ = named(new QLineEdit(Gsetmodem_), "enama");
    enama_->setGeometry(100, 50, 320, 22);

    // The web-service and menu settings share the place of the modem group.
    gmerl_ = named(new QGroupBox(this), "gmerl");
    gmerl_->setGeometry(8, 60, 462, 90);
    hostLabel_ = label(gmerl_, QStringLiteral("HOST"), 8, 10);
    ehost_ = named(new QLineEdit(gmerl_), "ehost");
    ehost_->setGeometry(100, 10, 320, 22);
    ekeyLabel_ = label(gmerl_, QStringLiteral("Activation Key"), 8, 36);
    ekey_ = named(new QLineEdit(gmerl_), "ekey");
    ekey_->setGeometry(100, 36, 320, 22);
    esignLabel_ = label(gmerl_, QStringLiteral("Sign"), 8, 62, 40);
    esign_ = named(new QLineEdit(gmerl_), "esign");
    esign_->setGeometry(50, 62, 150, 22);
    tipeLabel_ = label(gmerl_, QStringLiteral("Tipe"), 210, 62, 35);
    rreply_ = named(new QRadioButton(QStringLiteral("Reply"), gmerl_), "rreply");
    rreply_->setGeometry(250, 62, 70, 22);
    rbroadcast_ = named(new QRadioButton(QStringLiteral("Broadcast"), gmerl_), "rbroadcast");
    rbroadcast_->setGeometry(325, 62, 100, 22);
    gmerl_->setEnabled(false);

    label(this, QStringLiteral("Jeda antar SMS"), 8, 156, 100);
    edelay_ = named(new QLineEdit(this), "edelay");
    edelay_->setGeometry(110, 156, 60, 22);

    StatusBar1_ = named(new QStatusBar(this), "StatusBar1");
    StatusBar1_->setSizeGripEnabled(false);
    StatusBar1_->setGeometry(0, kHeight - 24, kWidth, 24);
    const int widths[3] = {120, 200, 50};
    for (int i = 0; i < 3; ++i) {
        panels_[i] = new QLabel(StatusBar1_);
        panels_[i]->setObjectName(QStringLiteral("panel%1").arg(i));
        panels_[i]->setFixedWidth(widths[i]);
        StatusBar1_->addWidget(panels_[i]);
    }

    Memo1_ = named(new QPlainTextEdit(this), "Memo1");
    Memo1_->hide();
    Memo2_ = named(new QPlainTextEdit(this), "Memo2");
    Memo2_->hide();

    TimerHide_ = new QTimer(this);
    TimerHide_->setInterval(1);
    TimerHide_->setSingleShot(true);
    connect(TimerHide_, &QTimer::timeout, this, [this] {
        TimerHide_->stop();
        hide();
    });

    Button1_->setEnabled(false); // until the database is there and the settings are applied
    Button3_->setEnabled(false);
    // HIDE only where a tray icon can bring the window back (see createTray).
    Button2_->setEnabled(false);
    connect(Button1_, &QPushButton::clicked, this, &MainWindow::startClicked);
    connect(Button3_, &QPushButton::clicked, &module_, &Module::stopModule);
    connect(Button2_, &QPushButton::clicked, this, &QWidget::hide);
    connect(testButton_, &QPushButton::clicked, &module_, &Module::requestTestSms);

    connect(&module_, &Module::settingsChanged, this, &MainWindow::showSettings);
    connect(&module_, &Module::started, this, [this] {
        Button1_->setEnabled(false);
        Button3_->setEnabled(true);
        // START has read them: edits from now on would change nothing.
        for (QWidget* w : {static_cast<QWidget*>(cbaud_), static_cast<QWidget*>(chands_),
                           static_cast<QWidget*>(enama_), static_cast<QWidget*>(edelay_)}) {
            w->setEnabled(false);
        }
    });
    // The worker's signals arrive from its thread; these connections queue them here.
    connect(&module_, &Module::progress, this, &MainWindow::showProgress);
    // Panel 0: the modem's health; panel 1: the last AT command; panel 2: what the modem sent
    // back so far.
    connect(&module_, &Module::commandSent, this, &MainWindow::showCommand);
    connect(&module_, &Module::modemAnswered, this, [this](const QString& text) { showOneLine(panels_[2], text); });
    connect(&module_, &Module::healthRead, this, &MainWindow::showHealth);
    connect(&module_, &Module::quizChecked, Memo2_, &QPlainTextEdit::setPlainText);
    trayProbe_ = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    // The groups of the default type until the settings are known: never both at once.
    applyGroups(module_.settings().cmodem);
}

void MainWindow::showOneLine(QLabel* label, const QString& text) {
    QString line = text;
    line.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    line = oneLine(line.simplified());
    label->setToolTip(line);
    label->setText(label->fontMetrics().elidedText(line, Qt::ElideRight, std::max(0, label->width() - 4)));
}

void MainWindow::startClicked() {
    module_.takeEditedFields(cbaud_->currentText().toStdString(), chands_->currentText().toStdString(),
                             enama_->text().toStdString(), edelay_->text().toStdString());
    module_.startModule();
}

void MainWindow::showProgress(const QString& text) {
    bool counter = false;
    text.toInt(&counter);
    if (!counter) {
        showOneLine(msaldo_, text);
        return;
    }
    cycle_ = text;
    showCommand({});
}

void MainWindow::showCommand(const QString& command) {
    if (!command.isEmpty()) {
        showOneLine(panels_[1], command);
        const QString activity = describeCommand(command);
        if (!activity.isEmpty()) activity_ = activity;
    }
    if (cycle_.isEmpty()) return;
    showOneLine(msaldo_, activity_.isEmpty() ? QStringLiteral("Cycle %1").arg(cycle_)
                                             : QStringLiteral("Cycle %1: %2").arg(cycle_, activity_));
}

void MainWindow::showHealth(const QString& text) {
    health_ = text;
    showOneLine(panels_[0], text);
    if (tray_ != nullptr) {
        tray_->setToolTip(trayHint(shown(module_.settings().cport), shown(module_.settings().enama)) +
                          QLatin1Char('\n') + text);
    }
}

void MainWindow::setTrayProbe(std::function<bool()> probe, int intervalMs) {
    trayProbe_ = std::move(probe);
    trayPollMs_ = intervalMs;
    if (trayPoll_ != nullptr) trayPoll_->setInterval(intervalMs);
}

MainWindow::~MainWindow() = default;

void MainWindow::finishStartup(bool connected, bool trayAvailable) {
    connected_ = connected;
    show();
    if (!connected) return; // lists unfilled, nothing applied, no START, no tray icon
    fill(cport_, portNumbers());
    fill(cmodem_, modemTypes());
    fill(cbaud_, baudRates());
    fill(chands_, handshakes());
    showSettings();
    Button1_->setEnabled(module_.StopFlag);
    Button3_->setEnabled(!module_.StopFlag);
    if (!module_.settings().ShowTray) {
        TimerHide_->start();
        return;
    }
    if (trayAvailable) {
        createTray();
        return;
    }
    log::warning("no notification area on this desktop: no tray icon until one appears");
    trayPoll_ = new QTimer(this);
    trayPoll_->setInterval(trayPollMs_);
    connect(trayPoll_, &QTimer::timeout, this, &MainWindow::lookForTray);
    trayPoll_->start();
}

void MainWindow::lookForTray() {
    if (!trayProbe_ || !trayProbe_()) return;
    trayPoll_->stop();
    log::info("a notification area appeared: tray icon shown");
    createTray();
}

void MainWindow::createTray() {
    trayMenu_ = new QMenu(this);
    QAction* showForm = trayMenu_->addAction(QStringLiteral("Show Form"));
    trayMenu_->addSeparator();
    QAction* exitProgram = trayMenu_->addAction(QStringLiteral("Exit Program"));
    connect(showForm, &QAction::triggered, this, &QWidget::show);
    connect(exitProgram, &QAction::triggered, &module_, &Module::exitProgram);
    tray_ = new QSystemTrayIcon(style()->standardIcon(QStyle::SP_ComputerIcon), this);
    tray_->setToolTip(trayHint(shown(module_.settings().cport), shown(module_.settings().enama)));
    // Right click opens the menu; a double click does nothing, since no item is the default.
    tray_->setContextMenu(trayMenu_);
    tray_->show();
    if (!health_.isEmpty()) showHealth(health_);
    Button2_->setEnabled(true);
}

QString MainWindow::trayHint(const QString& port, const QString& moduleName) {
    const QString head = QStringLiteral("CS Com:") + port + QLatin1Char('(');
    QString hint = head + moduleName + QLatin1Char(')');
    if (hint.size() <= kHintLimit) return hint;
    // A long name is cut with an ellipsis; the port, the part an operator looks for, stays.
    return head + moduleName.left(kHintLimit - head.size() - 2) + QChar(0x2026) + QLatin1Char(')');
}

void MainWindow::showSettings() {
    if (!connected_) return;
    const Settings& s = module_.settings();
    select(cport_, s.cport);
    select(cmodem_, s.cmodem);
    select(cbaud_, s.cbaud);
    select(chands_, s.chands);
    enama_->setText(shown(s.enama));
    ehost_->setText(shown(s.ehost));
    ekey_->setText(shown(s.ekey));
    esign_->setText(shown(s.esign));
    (s.rbroadcast ? rbroadcast_ : rreply_)->setChecked(true);
    edelay_->setText(shown(s.edelay));
    applyGroups(s.cmodem);
}

void MainWindow::applyGroups(const std::string& modemType) {
    const GroupVisibility v = cmodemChange(modemType);
    Gsetmodem_->setVisible(v.Gsetmodem);
    gmerl_->setVisible(v.gmerl);
    hostLabel_->setText(shown(v.hostLabel));
    for (QWidget* w : {static_cast<QWidget*>(ekeyLabel_), static_cast<QWidget*>(ekey_),
                       static_cast<QWidget*>(esignLabel_), static_cast<QWidget*>(esign_),
                       static_cast<QWidget*>(tipeLabel_), static_cast<QWidget*>(rreply_),
                       static_cast<QWidget*>(rbroadcast_)}) {
        w->setVisible(v.senderFields);
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The system's close command ends the module as "Exit Program" does, so its row says
    // "DISABLE" rather than "RUN" for a process that is gone. The module ends the program.
    event->ignore();
    if (connected_) {
        module_.exitProgram();
    } else {
        QCoreApplication::exit(1);
    }
}

} // namespace pelorin::app
