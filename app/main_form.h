// The main window.
#pragma once

#include <QMainWindow>
#include <memory>

namespace Ui {
class TMainForm;
}

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* AParent = nullptr);
    ~TMainForm() override;

private:
    std::unique_ptr<Ui::TMainForm> ui;
};
