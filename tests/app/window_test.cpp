// The operator's window and tray icon on the offscreen platform, with a real module and a
// real database behind them.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTest>

#include "app/main_window.h"
#include "app/module.h"
#include "db/database.h"
#include "modemsim/modemsim_client.h"
#include "test_support.h"

using pelorin::app::MainWindow;
using pelorin::app::Module;
using pelorin::test::TempHome;

namespace {

class Window : public ::testing::Test {
protected:
    void SetUp() override {
        home.initDatabase();
        home.admin({QStringLiteral("port"), QStringLiteral("7"), QStringLiteral("stat=DISABLE")});
        qputenv("PELORIN_HOME", home.path().toLocal8Bit());
    }
    void TearDown() override {
        qunsetenv("PELORIN_HOME");
        pelorin::db::Database::closeThisThread();
    }
    template <typename W>
    static W* child(const MainWindow& window, const char* name) {
        W* w = window.findChild<W*>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    static QString stat() { return pelorin::test::portRow(7).value(0); }

    TempHome home;
};

TEST_F(Window, CaptionSizeControlsAndGroupsPerModemType) {
    struct Case {
        const char* modem;
        bool modemGroup, merlGroup;
        const char* hostLabel;
        bool senderFields;
    };
    for (const Case& c : {Case{"WAVECOM", true, false, "", false}, Case{"MERL-SENDER", false, true, "HOST", true},
                          Case{"MERL-CENTER", false, true, "PORT", false}}) {
        Module module;
        ASSERT_TRUE(module.formCreate(std::string("com=7#modem=") + c.modem));
        MainWindow window(module);
        window.finishStartup(true, false);
        EXPECT_EQ(window.windowTitle(), QStringLiteral("Pelorin versi 4.6a"));
        EXPECT_EQ(window.size(), QSize(480, 214));
        EXPECT_EQ(window.minimumSize(), window.maximumSize()) << "fixed border";
        EXPECT_FALSE(window.windowFlags() & (Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                                             Qt::WindowMaximizeButtonHint | Qt::WindowSystemMenuHint));
        EXPECT_EQ(child<QPushButton>(window, "Button1")->text(), QStringLiteral("START"));
        EXPECT_EQ(child<QPushButton>(window, "Button3")->text(), QStringLiteral("STOP"));
        EXPECT_EQ(child<QPushButton>(window, "Button2")->text(), QStringLiteral("HIDE"));
        EXPECT_GE(child<QPushButton>(window, "TestButton")->x(), 480) << "outside the visible area";
        EXPECT_EQ(child<QComboBox>(window, "cmodem")->currentText(), QLatin1String(c.modem));
        EXPECT_FALSE(child<QComboBox>(window, "cport")->isEnabled());
        EXPECT_EQ(child<QGroupBox>(window, "Gsetmodem")->isVisibleTo(&window), c.modemGroup) << c.modem;
        EXPECT_EQ(child<QGroupBox>(window, "gmerl")->isVisibleTo(&window), c.merlGroup) << c.modem;
        if (c.merlGroup) {
            const auto labels = child<QGroupBox>(window, "gmerl")->findChildren<QLabel*>();
            EXPECT_EQ(labels.front()->text(), QLatin1String(c.hostLabel)) << c.modem;
            EXPECT_EQ(child<QWidget>(window, "ekey")->isVisibleTo(&window), c.senderFields) << c.modem;
        }
        int widths[3] = {};
        for (int i = 0; i < 3; ++i) widths[i] = child<QLabel>(window, qPrintable(QStringLiteral("panel%1").arg(i)))->width();
        EXPECT_EQ(widths[0], 120);
        EXPECT_EQ(widths[1], 200);
        EXPECT_EQ(widths[2], 50);
        EXPECT_FALSE(child<QWidget>(window, "Memo1")->isVisibleTo(&window));
        EXPECT_FALSE(child<QWidget>(window, "Memo2")->isVisibleTo(&window));
    }
}

TEST_F(Window, StartHideAndStopDriveTheModule) {
    Module module;
    ASSERT_TRUE(module.formCreate("com=7#modem=MERL-SENDER"));
    MainWindow window(module);
    window.finishStartup(true, false);
    QSignalSpy finished(&module, &Module::finished);
    auto* start = child<QPushButton>(window, "Button1");
    auto* stop = child<QPushButton>(window, "Button3");
    EXPECT_TRUE(start->isEnabled());
    EXPECT_FALSE(stop->isEnabled());
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_EQ(stat(), QStringLiteral("RUN"));
    EXPECT_FALSE(start->isEnabled());
    EXPECT_TRUE(stop->isEnabled());
    // No tray icon here: HIDE would leave a window nothing could bring back.
    QTest::mouseClick(child<QPushButton>(window, "Button2"), Qt::LeftButton);
    EXPECT_TRUE(window.isVisible());
    QTest::mouseClick(stop, Qt::LeftButton);
    EXPECT_EQ(stat(), QStringLiteral("DISABLE"));
    ASSERT_EQ(finished.size(), 1);
    EXPECT_EQ(finished.front().front().toInt(), 0);
}

TEST_F(Window, TrayMenuShowsTheFormOrEndsTheModule) {
    Module module;
    ASSERT_TRUE(module.formCreate("com=7#modem=MERL-SENDER#nama=Gerbang Utama"));
    MainWindow window(module);
    window.finishStartup(true, true);
    ASSERT_NE(window.trayIcon(), nullptr);
    EXPECT_EQ(window.trayIcon()->toolTip(), QStringLiteral("CS Com:7(Gerbang Utama)"));
    QMenu* menu = window.trayMenu();
    ASSERT_EQ(menu->actions().size(), 3);
    EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("Show Form"));
    EXPECT_TRUE(menu->actions()[1]->isSeparator());
    EXPECT_EQ(menu->actions()[2]->text(), QStringLiteral("Exit Program"));
    EXPECT_EQ(menu->defaultAction(), nullptr) << "a double click does nothing";
    EXPECT_EQ(window.trayIcon()->contextMenu(), menu) << "a right click opens it";

    EXPECT_EQ(stat(), QStringLiteral("RUN")) << "three settings start the module";
    module.startModule(); // a second START changes nothing
    QTest::mouseClick(child<QPushButton>(window, "Button2"), Qt::LeftButton);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(stat(), QStringLiteral("RUN")) << "hiding changes nothing else";
    menu->actions()[0]->trigger();
    EXPECT_TRUE(window.isVisible());
    QSignalSpy finished(&module, &Module::finished);
    menu->actions()[2]->trigger();
    EXPECT_TRUE(module.StopFlag);
    EXPECT_EQ(stat(), QStringLiteral("DISABLE"));
    ASSERT_EQ(finished.size(), 1);
    EXPECT_EQ(finished.front().front().toInt(), 0);

    const QString hint = MainWindow::trayHint(QStringLiteral("12"), QString(100, QLatin1Char('n')));
    EXPECT_EQ(hint.size(), 63);
    EXPECT_TRUE(hint.startsWith(QStringLiteral("CS Com:12(nnn")));
    EXPECT_TRUE(hint.endsWith(QStringLiteral("\u2026)")));
}

TEST_F(Window, ClosingTheWindowIsExitProgram) {
    Module module;
    ASSERT_TRUE(module.formCreate("com=7#modem=MERL-SENDER"));
    MainWindow window(module);
    window.finishStartup(true, false);
    module.startModule();
    EXPECT_EQ(stat(), QStringLiteral("RUN"));
    QSignalSpy finished(&module, &Module::finished);
    window.close();
    EXPECT_EQ(stat(), QStringLiteral("DISABLE")) << "the row must not say RUN for a module that ended";
    ASSERT_EQ(finished.size(), 1);
    EXPECT_EQ(finished.front().front().toInt(), 0);
}

TEST_F(Window, HiddenModuleHasNoTrayIconAndHidesAtTheFirstTick) {
    Module module;
    ASSERT_TRUE(module.formCreate("com=7#modem=MERL-SENDER#showme=0"));
    MainWindow window(module);
    window.finishStartup(true, true);
    EXPECT_EQ(window.trayIcon(), nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 5000));
    module.startModule();
    EXPECT_EQ(stat(), QStringLiteral("RUN")) << "the module still runs";
}

TEST_F(Window, WithoutADatabaseNothingIsFilledAndNothingStarts) {
    qputenv("PELORIN_DATABASE", QByteArray(qPrintable(home.path() + QStringLiteral("/missing.db"))));
    Module module;
    EXPECT_FALSE(module.formCreate("com=7#modem=MERL-SENDER#showme=1"));
    qunsetenv("PELORIN_DATABASE");
    MainWindow window(module);
    window.finishStartup(false, true);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(child<QComboBox>(window, "cmodem")->count(), 0);
    EXPECT_FALSE(child<QPushButton>(window, "Button1")->isEnabled());
    EXPECT_EQ(window.trayIcon(), nullptr);
    EXPECT_NE(child<QGroupBox>(window, "Gsetmodem")->isVisibleTo(&window),
              child<QGroupBox>(window, "gmerl")->isVisibleTo(&window))
        << "the two setting groups share one place: never both";
}

TEST_F(Window, HideOnlyWhereATrayIconCanBringTheWindowBackEvenOneThatCameLater) {
    Module module;
    ASSERT_TRUE(module.formCreate("com=7#modem=MERL-SENDER"));
    MainWindow window(module);
    bool areaThere = false;
    window.setTrayProbe([&] { return areaThere; }, 20);
    window.finishStartup(true, false);
    auto* hide = child<QPushButton>(window, "Button2");
    EXPECT_EQ(window.trayIcon(), nullptr);
    EXPECT_FALSE(hide->isEnabled()) << "hidden, nothing could show it again";
    QTest::qWait(100);
    EXPECT_EQ(window.trayIcon(), nullptr);
    areaThere = true; // the desktop's panel started after the module
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.trayIcon() != nullptr; }, 5000));
    EXPECT_TRUE(hide->isEnabled());
    EXPECT_EQ(window.trayIcon()->toolTip(), QStringLiteral("CS Com:7(enama)"));
    emit module.healthRead(QStringLiteral("signal -73 dBm (20/31), registered, home network, operator X"));
    QCoreApplication::processEvents();
    EXPECT_EQ(window.trayIcon()->toolTip(),
              QStringLiteral("CS Com:7(enama)\nsignal -73 dBm (20/31), registered, home network, operator X"));
}

TEST_F(Window, StartTakesTheFieldsAsEditedAndThenLocksThem) {
    qputenv("PELORIN_DEVICE_DIR", home.path().toLocal8Bit());
    pelorin::modemsim::ModemSim sim(home.path().toStdString(), 7);
    Module module;
    ASSERT_TRUE(module.formCreate("com=7#nama=Lama"));
    MainWindow window(module);
    window.finishStartup(true, false);
    child<QComboBox>(window, "cbaud")->setCurrentText(QStringLiteral("9600"));
    child<QComboBox>(window, "chands")->setCurrentText(QStringLiteral("0"));
    child<QLineEdit>(window, "enama")->setText(QStringLiteral("Gerbang Baru"));
    child<QLineEdit>(window, "edelay")->setText(QStringLiteral("3"));
    QTest::mouseClick(child<QPushButton>(window, "Button1"), Qt::LeftButton);
    EXPECT_EQ(stat(), QStringLiteral("RUN"));
    const pelorin::app::Settings& s = module.settings();
    EXPECT_EQ(s.cbaud, "9600");
    EXPECT_EQ(s.chands, "0");
    EXPECT_EQ(s.enama, "Gerbang Baru");
    EXPECT_EQ(s.edelay, "3");
    for (const char* name : {"cbaud", "chands", "enama", "edelay"}) {
        EXPECT_FALSE(child<QWidget>(window, name)->isEnabled()) << name << ": START has read it";
    }
    module.stopModule();
    qunsetenv("PELORIN_DEVICE_DIR");
}

TEST_F(Window, TestButtonSendsBetweenTheWorkersExchanges) {
    qputenv("PELORIN_DEVICE_DIR", home.path().toLocal8Bit());
    qputenv("PELORIN_TEST_SMS", "0899111222#Tes dari jendela");
    pelorin::modemsim::ModemSim sim(home.path().toStdString(), 7);
    Module module;
    ASSERT_TRUE(module.formCreate("com=7#modem=WAVECOM#baudrate=115200"));
    MainWindow window(module);
    window.finishStartup(true, false);
    QSignalSpy progress(&module, &Module::progress);
    QTest::mouseClick(child<QPushButton>(window, "TestButton"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return sim.submitted().size() == 1; }, 20000));
    // The outcome shows in the progress line (later cycles overwrite it there).
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            for (const QList<QVariant>& line : progress) {
                if (line.front().toString() == QStringLiteral("Kirim SMS 0899111222: OK")) return true;
            }
            return false;
        },
        10000));
    // Every command had its answer before the next went out: the test SMS never cut into one.
    const std::vector<std::string> log = sim.sentLog();
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i].rfind("AT+CMGS=", 0) == 0) {
            ASSERT_LT(i + 1, log.size());
            EXPECT_EQ(log[i + 1].back(), '\x1A') << "the PDU follows its prompt at once";
        }
    }
    module.stopModule();
    qunsetenv("PELORIN_TEST_SMS");
    qunsetenv("PELORIN_DEVICE_DIR");
}

TEST_F(Window, StatusFollowsTheModule) {
    Module module;
    ASSERT_TRUE(module.formCreate("com=7#modem=WAVECOM"));
    MainWindow window(module);
    window.finishStartup(true, false);
    auto* msaldo = child<QLabel>(window, "msaldo");
    EXPECT_EQ(child<QLabel>(window, "panel0")->text(), QString());
    emit module.progress(QStringLiteral("12"));
    EXPECT_EQ(msaldo->text(), QStringLiteral("Cycle 12"));
    emit module.commandSent(QStringLiteral("AT+CMGL=4\r"));
    emit module.modemAnswered(QStringLiteral("\r\n+CMGL: 1,"));
    EXPECT_EQ(child<QLabel>(window, "panel1")->text(), QStringLiteral("AT+CMGL=4"));
    EXPECT_EQ(child<QLabel>(window, "panel2")->toolTip(), QStringLiteral("+CMGL: 1,")) << "cut to its 50 pixels";
    EXPECT_EQ(msaldo->text(), QStringLiteral("Cycle 12: reading stored messages"));
    emit module.progress(QStringLiteral("13"));
    emit module.commandSent(QStringLiteral("AT+CMGS=23\r"));
    EXPECT_EQ(msaldo->text(), QStringLiteral("Cycle 13: sending a message"));
    emit module.progress(QStringLiteral("Kirim SMS 0899: OK"));
    EXPECT_EQ(msaldo->text(), QStringLiteral("Kirim SMS 0899: OK"));

    // A listing of many lines stays on one line of its panel, cut to fit; the tooltip has it all.
    QString listing;
    for (int i = 1; i <= 6; ++i) listing += QStringLiteral("\r\n+CMGL: %1,1,,24\r\n07912618485400F9040B81802143").arg(i);
    emit module.modemAnswered(listing + QStringLiteral("\r\n\r\nOK\r\n"));
    emit module.healthRead(QStringLiteral("signal -73 dBm (20/31), registered, home network, operator SOME LONG NAME"));
    for (const char* name : {"panel0", "panel2"}) {
        auto* panel = child<QLabel>(window, name);
        EXPECT_FALSE(panel->text().contains(QLatin1Char('\n')) || panel->text().contains(QLatin1Char('\r'))) << name;
        EXPECT_TRUE(panel->text().endsWith(QChar(0x2026))) << name << panel->text().toStdString();
        EXPECT_LE(panel->fontMetrics().horizontalAdvance(panel->text()), panel->width()) << name;
        EXPECT_TRUE(panel->toolTip().endsWith(QStringLiteral("OK")) || panel->toolTip().endsWith(QStringLiteral("NAME")))
            << panel->toolTip().toStdString();
    }
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
