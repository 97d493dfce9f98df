// The job list grid sgList: a table view whose painting also draws the column separator lines
// over the whole grid surface (header row included). Main thread only.
#pragma once

#include <QTableView>
#include <vector>

class TListGrid : public QTableView {
    Q_OBJECT
public:
    static constexpr int DefaultColumnWidth = 64;  // width of a column position past the last column
    static const QColor SeparatorColor;            // #E6E6E6

    explicit TListGrid(QWidget* AParent = nullptr);

    // x of the six separator lines on the grid's surface: x starts at 0; for column positions
    // 0 to 5, x += that column's width (64 past the last column), a line at x, then x += 1.
    // Scrolling moves the lines with the columns.
    std::vector<int> SeparatorLines() const;

signals:
    void DeletePressed();  // the Delete key, for removing the selected rows

protected:
    void keyPressEvent(QKeyEvent* AEvent) override;
    void resizeEvent(QResizeEvent* AEvent) override;
    void scrollContentsBy(int ADx, int ADy) override;

private:
    class TSeparatorLayer;
    TSeparatorLayer* FSeparators;
};
