#pragma once
// The operator's window (TFRMain) and the tray icon: a thin view of the Module. It shows the
// module's settings and signals and calls its slots; it holds no state of its own.

#include <QWidget>

#include <functional>

class QCloseEvent;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QSystemTrayIcon;
class QTimer;

namespace pelorin::app {

class Module;

class MainWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kCaption = "Pelorin versi 4.6a";

    explicit MainWindow(Module& module, QWidget* parent = nullptr);
    ~MainWindow() override;

    // After the module's start-up: shows the window; with a working database, either puts the
    // tray icon up (when `trayAvailable`) or, for "showme" other than "1", hides the window at
    // the first tick of a 1 ms timer. Without a database no tray icon and no START.
    void finishStartup(bool connected, bool trayAvailable);

    // The hint of the tray icon, fitted to the 63 characters a notification area shows.
    static QString trayHint(const QString& port, const QString& moduleName);

    QSystemTrayIcon* trayIcon() const { return tray_; }
    QMenu* trayMenu() const { return trayMenu_; }

    // How the window learns that a notification area has appeared (a desktop whose panel
    // starts after the module): asked every `intervalMs` while a wanted tray icon is missing.
    void setTrayProbe(std::function<bool()> probe, int intervalMs);

    // A text on one line of a label: line breaks as blanks, cut with an ellipsis to its width,
    // the whole of it in the tooltip.
    static void showOneLine(QLabel* label, const QString& text);

public slots:
    void showSettings();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void applyGroups(const std::string& modemType);
    void createTray();
    void lookForTray();
    void startClicked();
    void showProgress(const QString& text);
    void showCommand(const QString& command);
    void showHealth(const QString& text);

    Module& module_;
    QComboBox* cport_ = nullptr;
    QComboBox* cmodem_ = nullptr;
    QPushButton* Button1_ = nullptr; // START
    QPushButton* Button3_ = nullptr; // STOP
    QPushButton* Button2_ = nullptr; // HIDE
    QPushButton* testButton_ = nullptr; // "Kirim SMS", outside the visible area
    QLabel* msaldo_ = nullptr;
    QGroupBox* Gsetmodem_ = nullptr;
    QComboBox* cbaud_ = nullptr;
    QComboBox* chands_ = nullptr;
    QLineEdit* enama_ = nullptr;
    QGroupBox* gmerl_ = nullptr;
    QLabel* hostLabel_ = nullptr;
    QLineEdit* ehost_ = nullptr;
    QLabel* ekeyLabel_ = nullptr;
    QLineEdit* ekey_ = nullptr;
    QLabel* esignLabel_ = nullptr;
    QLineEdit* esign_ = nullptr;
    QLabel* tipeLabel_ = nullptr;
    QRadioButton* rreply_ = nullptr;
    QRadioButton* rbroadcast_ = nullptr;
    QLineEdit* edelay_ = nullptr;
    QStatusBar* StatusBar1_ = nullptr;
    QLabel* panels_[3] = {};
    QPlainTextEdit* Memo1_ = nullptr; // the log memo, never shown
    QPlainTextEdit* Memo2_ = nullptr; // the last stored message's quiz check, never shown
    QTimer* TimerHide_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QTimer* trayPoll_ = nullptr;
    int trayPollMs_ = 5000;
    std::function<bool()> trayProbe_;
    bool connected_ = false;
    QString cycle_;    // the worker's last cycle number
    QString activity_; // what its last command was for
    QString health_;   // the modem's last health reading
};

} // namespace pelorin::app
