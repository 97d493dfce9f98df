#include "OutputNaming.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

#include "AppShell.h"

namespace {

const TExistingPolicy kPolicies[] = {epAsk, epSkip, epOverwrite, epRename};
const char* const kPolicyCaptions[] = {"Ask", "Skip", "Overwrite", "Rename"};

}  // namespace

TOutputNaming ReadNamingSettings(TExistingPolicy* APolicy) {
    QSettings settings(SettingsOrganization, SettingsApplication);
    TOutputNaming naming;
    const std::string pattern = settings.value("NamePattern", DefaultNamePattern).toString().toStdString();
    // A stored pattern that cannot name anything (edited by hand) gives the default.
    if (PatternError(pattern).empty()) naming.Pattern = pattern;
    naming.KeepFolders = settings.value("KeepFolders", false).toBool();
    if (APolicy) {
        *APolicy = epAsk;
        ParseExistingPolicy(settings.value("ExistingOutputs", "ask").toString().toStdString(), *APolicy);
    }
    return naming;
}

void WriteNamingSettings(const TOutputNaming& ANaming, TExistingPolicy APolicy) {
    QSettings settings(SettingsOrganization, SettingsApplication);
    settings.setValue("NamePattern", QString::fromStdString(ANaming.Pattern));
    settings.setValue("KeepFolders", ANaming.KeepFolders);
    settings.setValue("ExistingOutputs", ExistingPolicyName(APolicy));
}

TOutputNamesDialog::TOutputNamesDialog(QWidget* AParent, std::function<QString(const TOutputNaming&)> AExample)
    : QDialog(AParent), FExampleOf(std::move(AExample)) {
    setObjectName("OutputNamesForm");
    setWindowTitle("Output names");
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    FPattern = new QLineEdit(this);
    FPattern->setObjectName("edNamePattern");
    FPattern->setMinimumWidth(fontMetrics().horizontalAdvance('x') * 48);
    form->addRow("Name pattern:", FPattern);
    auto* help = new QLabel(
        "{name} {folder} {relpath} {title} {artist} {albumartist} {album} {genre} {year} {track} {disc} {ext};\n"
        "{track:02} pads with zeros; \"/\" makes sub-folders; a missing tag falls back (\"Unknown Artist\" ...).",
        this);
    help->setWordWrap(true);
    form->addRow(QString(), help);
    FExample = new QLabel(this);
    FExample->setObjectName("lblNameExample");
    FExample->setWordWrap(true);
    FExample->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow("Example:", FExample);
    FKeepFolders = new QCheckBox("Keep the folder structure of added folders", this);
    FKeepFolders->setObjectName("chKeepFolders");
    form->addRow(QString(), FKeepFolders);
    FExisting = new QComboBox(this);
    FExisting->setObjectName("cmbExistingOutputs");
    for (const char* caption : kPolicyCaptions) FExisting->addItem(caption);
    form->addRow("When an output exists:", FExisting);
    layout->addLayout(form);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    FOk = buttons->button(QDialogButtonBox::Ok);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(FPattern, &QLineEdit::textChanged, this, &TOutputNamesDialog::UpdateExample);
    connect(FKeepFolders, &QCheckBox::toggled, this, &TOutputNamesDialog::UpdateExample);
}

TOutputNaming TOutputNamesDialog::Naming() const {
    TOutputNaming naming;
    naming.Pattern = FPattern->text().toStdString();
    naming.KeepFolders = FKeepFolders->isChecked();
    return naming;
}

TExistingPolicy TOutputNamesDialog::Policy() const {
    const int i = FExisting->currentIndex();
    return i >= 0 && i < 4 ? kPolicies[i] : epAsk;
}

void TOutputNamesDialog::UpdateExample() {
    const std::string error = PatternError(FPattern->text().toStdString());
    FOk->setEnabled(error.empty());
    if (!error.empty()) {
        FExample->setStyleSheet("color: #b00020");
        FExample->setText("The pattern cannot name files: " + QString::fromStdString(error) + ".");
        return;
    }
    FExample->setStyleSheet(QString());
    const QString example = FExampleOf ? FExampleOf(Naming()) : QString();
    FExample->setText(example.isEmpty() ? "Add a file to see its output's name here." : example);
}

bool TOutputNamesDialog::Execute() {
    TExistingPolicy policy = epAsk;
    const TOutputNaming naming = ReadNamingSettings(&policy);
    FPattern->setText(QString::fromStdString(naming.Pattern));
    FKeepFolders->setChecked(naming.KeepFolders);
    for (int i = 0; i < 4; ++i)
        if (kPolicies[i] == policy) FExisting->setCurrentIndex(i);
    UpdateExample();
    if (exec() != QDialog::Accepted) return false;
    WriteNamingSettings(Naming(), Policy());
    return true;
}

bool AskExistingOutputs(QWidget* AParent, const std::vector<std::string>& AFiles,
                        std::vector<TExistingPolicy>& AChoices) {
    AChoices.assign(AFiles.size(), epAsk);
    QDialog dialog(AParent);
    dialog.setObjectName("ExistingOutputsForm");
    dialog.setWindowTitle("Output files exist");
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(QString("%1 of the run's output files exist already:").arg(AFiles.size()), &dialog));
    auto* list = new QListWidget(&dialog);
    list->setObjectName("lstExistingOutputs");
    for (const std::string& f : AFiles) list->addItem(QString::fromStdString(f));
    layout->addWidget(list);
    auto* current = new QLabel(&dialog);
    current->setObjectName("lblExistingOutput");
    current->setWordWrap(true);
    layout->addWidget(current);
    auto* forAll = new QCheckBox("Do this for all the files left", &dialog);
    forAll->setObjectName("chForAll");
    forAll->setChecked(true);
    layout->addWidget(forAll);
    auto* buttons = new QDialogButtonBox(&dialog);
    const struct {
        TExistingPolicy Policy;
        const char* Caption;
        const char* Name;
    } choices[] = {{epOverwrite, "Overwrite", "btnOverwrite"}, {epSkip, "Skip", "btnSkip"},
                   {epRename, "Rename", "btnRename"}};
    size_t next = 0;
    auto show = [&] {
        list->setCurrentRow(static_cast<int>(next));
        current->setText("\"" + QString::fromStdString(AFiles[next]) +
                         "\" exists: overwrite it, skip its job, or write the job's output under a new name "
                         "(\"name (2)\")?");
        forAll->setVisible(next + 1 < AFiles.size());
    };
    for (const auto& c : choices) {
        QPushButton* b = buttons->addButton(c.Caption, QDialogButtonBox::ActionRole);
        b->setObjectName(c.Name);
        const TExistingPolicy policy = c.Policy;
        QObject::connect(b, &QPushButton::clicked, &dialog, [&, policy] {
            const size_t end = forAll->isChecked() ? AFiles.size() : next + 1;
            for (; next < end; ++next) AChoices[next] = policy;
            if (next >= AFiles.size())
                dialog.accept();
            else
                show();
        });
    }
    buttons->addButton(QDialogButtonBox::Cancel);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    if (AFiles.empty()) return true;
    show();
    return dialog.exec() == QDialog::Accepted;
}
