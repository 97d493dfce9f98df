// The events log window: a read-only memo of the user-level steps, opened from Tools.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class TLogForm;
}
class QPlainTextEdit;

class TLogForm : public QDialog {
    Q_OBJECT
public:
    explicit TLogForm(QWidget* AParent = nullptr);
    ~TLogForm() override;

    QPlainTextEdit* mmoLog() const;
    // Appends one line as it stands (the main window adds the time stamp where it wants one).
    void AppendLine(const QString& ALine);
    QStringList Lines() const;

protected:
    void showEvent(QShowEvent* AEvent) override;
    void resizeEvent(QResizeEvent* AEvent) override;

private:
    std::unique_ptr<Ui::TLogForm> ui;
};
