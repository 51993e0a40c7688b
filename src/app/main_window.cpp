#include "app/main_window.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QVBoxLayout>

#include "app/module.h"

namespace pelorin::app {
namespace {

QString shown(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

MainWindow::MainWindow(Module& module, QWidget* parent) : QWidget(parent), module_(module) {
    setWindowTitle(QStringLiteral("Pelorin versi 4.6a"));
    auto* layout = new QVBoxLayout(this);
    auto* top = new QFormLayout;
    top->addRow(QStringLiteral("COM"), cport_ = new QLabel);
    top->addRow(QStringLiteral("Modem"), cmodem_ = new QLabel);
    top->addRow(QStringLiteral("Jeda antar SMS"), edelay_ = new QLabel);
    layout->addLayout(top);

    Gsetmodem_ = new QGroupBox(QStringLiteral("Setting Modem"));
    auto* modemForm = new QFormLayout(Gsetmodem_);
    modemForm->addRow(QStringLiteral("Baudrate"), cbaud_ = new QLabel);
    modemForm->addRow(QStringLiteral("Handshake"), chands_ = new QLabel);
    modemForm->addRow(QStringLiteral("Nama"), enama_ = new QLabel);
    layout->addWidget(Gsetmodem_);

    gmerl_ = new QGroupBox;
    merlForm_ = new QFormLayout(gmerl_);
    merlForm_->addRow(QStringLiteral("HOST"), ehost_ = new QLabel);
    merlForm_->addRow(QStringLiteral("Activation Key"), ekey_ = new QLabel);
    merlForm_->addRow(QStringLiteral("Sign"), esign_ = new QLabel);
    merlForm_->addRow(QStringLiteral("Tipe"), tipe_ = new QLabel);
    layout->addWidget(gmerl_);

    connect(&module_, &Module::settingsChanged, this, &MainWindow::showSettings);
    showSettings();
}

void MainWindow::showSettings() {
    const Settings& s = module_.settings();
    cport_->setText(shown(s.cport));
    cmodem_->setText(shown(s.cmodem));
    edelay_->setText(shown(s.edelay));
    cbaud_->setText(shown(s.cbaud));
    chands_->setText(shown(s.chands));
    enama_->setText(shown(s.enama));
    ehost_->setText(shown(s.ehost));
    ekey_->setText(shown(s.ekey));
    esign_->setText(shown(s.esign));
    tipe_->setText(s.rbroadcast ? QStringLiteral("Broadcast") : QStringLiteral("Reply"));

    const GroupVisibility v = cmodemChange(s.cmodem);
    Gsetmodem_->setVisible(v.Gsetmodem);
    gmerl_->setVisible(v.gmerl);
    if (auto* label = qobject_cast<QLabel*>(merlForm_->labelForField(ehost_))) {
        label->setText(QString::fromStdString(v.hostLabel));
    }
    for (QWidget* field : {static_cast<QWidget*>(ekey_), static_cast<QWidget*>(esign_),
                           static_cast<QWidget*>(tipe_)}) {
        merlForm_->setRowVisible(field, v.senderFields);
    }
}

} // namespace pelorin::app
