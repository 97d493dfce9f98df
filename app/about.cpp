#include "about.h"

#include <QDir>
#include <QUrl>

#include "AppShell.h"
#include "ui_about.h"

const char* const HomePageUrl = "https://www.quendral.example/";
const char* const SupportPageUrl = "https://www.quendral.example/support/";
const char* const OnlineGuideUrl = "https://www.quendral.example/audio-converter/guide/";
const char* const ProductPageUrl = "https://www.quendral.example/audio-converter/";

TAboutForm::TAboutForm(QWidget* AParent) : QDialog(AParent), ui(new Ui::TAboutForm) {
    ui->setupUi(this);
    ui->lblVersion->setText("Version 1.5");
    ui->imgLogo->setPixmap(QPixmap(ApplicationFolder() + "audio-converter-profiles" +
                                   QDir::separator() + "logo.bmp"));
    auto link = [](const char* AUrl) {
        return QString("<a href=\"%1\">%2</a>").arg(AUrl, QUrl(AUrl).host());
    };
    ui->lblHomeLink->setText(link(HomePageUrl));
    ui->lblSupportLink->setText(link(SupportPageUrl));
    for (QLabel* label : {ui->lblHomeLink, ui->lblSupportLink})
        connect(label, &QLabel::linkActivated, this, [](const QString& AUrl) { ShellOpen(QUrl(AUrl)); });
    connect(ui->OKButton, &QPushButton::clicked, this, &QDialog::accept);
}

TAboutForm::~TAboutForm() = default;

void TAboutForm::showEvent(QShowEvent* AEvent) {
    resize(width(), 235);
    QDialog::showEvent(AEvent);
}
