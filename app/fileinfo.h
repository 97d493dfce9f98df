// The file information dialog: name, length and audio parameters of the selected job's file,
// filled by the main window's FileInformation1Click. Created once; the labels keep their last
// values until the next fill. Main thread only.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class TFileInfoForm;
}
class QLabel;

class TFileInfoForm : public QDialog {
    Q_OBJECT
public:
    explicit TFileInfoForm(QWidget* AParent = nullptr);
    ~TFileInfoForm() override;

    QLabel* spSkinLabel2() const;  // file name
    QLabel* spSkinLabel3() const;  // media length
    QLabel* spSkinLabel6() const;  // sample rate
    QLabel* spSkinLabel7() const;  // channels
    QLabel* spSkinLabel8() const;  // bit rate

protected:
    void showEvent(QShowEvent* AEvent) override;

private:
    std::unique_ptr<Ui::TFileInfoForm> ui;
};
