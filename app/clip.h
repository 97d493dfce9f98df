// The trim editor; its content comes with the trim work.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class TClipForm;
}

class TClipForm : public QDialog {
    Q_OBJECT
public:
    explicit TClipForm(QWidget* AParent = nullptr);
    ~TClipForm() override;

private:
    std::unique_ptr<Ui::TClipForm> ui;
};
