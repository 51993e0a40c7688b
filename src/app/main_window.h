#pragma once
// The module's window: a thin view of the Module's settings. It owns no state of its own.

#include <QWidget>

class QFormLayout;
class QGroupBox;
class QLabel;

namespace pelorin::app {

class Module;

class MainWindow : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(Module& module, QWidget* parent = nullptr);

public slots:
    void showSettings();

private:
    Module& module_;
    QLabel* cport_ = nullptr;
    QLabel* cmodem_ = nullptr;
    QGroupBox* Gsetmodem_ = nullptr;
    QLabel* cbaud_ = nullptr;
    QLabel* chands_ = nullptr;
    QLabel* enama_ = nullptr;
    QGroupBox* gmerl_ = nullptr;
    QFormLayout* merlForm_ = nullptr;
    QLabel* ehost_ = nullptr;
    QLabel* ekey_ = nullptr;
    QLabel* esign_ = nullptr;
    QLabel* tipe_ = nullptr;
    QLabel* edelay_ = nullptr;
};

} // namespace pelorin::app
