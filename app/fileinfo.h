// The file information dialog; its content comes with the probe's dialog.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class TFileInfoForm;
}

class TFileInfoForm : public QDialog {
    Q_OBJECT
public:
    explicit TFileInfoForm(QWidget* AParent = nullptr);
    ~TFileInfoForm() override;

private:
    std::unique_ptr<Ui::TFileInfoForm> ui;
};
