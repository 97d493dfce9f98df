// The about window: version, logo, the vendor's links and notice.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class TAboutForm;
}

// The vendor's pages, opened by the about window and the Help menu.
extern const char* const HomePageUrl;
extern const char* const SupportPageUrl;
extern const char* const OnlineGuideUrl;
extern const char* const ProductPageUrl;

class TAboutForm : public QDialog {
    Q_OBJECT
public:
    explicit TAboutForm(QWidget* AParent = nullptr);
    ~TAboutForm() override;

protected:
    void showEvent(QShowEvent* AEvent) override;

private:
    std::unique_ptr<Ui::TAboutForm> ui;
};
