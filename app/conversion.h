// The conversion progress dialog; its content comes with the conversion run.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class TConvForm;
}

class TConvForm : public QDialog {
    Q_OBJECT
public:
    explicit TConvForm(QWidget* AParent = nullptr);
    ~TConvForm() override;

private:
    std::unique_ptr<Ui::TConvForm> ui;
};
