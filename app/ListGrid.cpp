#include "ListGrid.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>

#include "AudioFiles.h"

const QColor TListGrid::SeparatorColor(230, 230, 230);

// A transparent layer over the grid; it is painted in the same pass as every part of the grid
// beneath it, so the lines are always drawn over freshly painted cells.
class TListGrid::TSeparatorLayer : public QWidget {
public:
    explicit TSeparatorLayer(TListGrid* AGrid) : QWidget(AGrid), FGrid(AGrid) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(SeparatorColor);
        for (int x : FGrid->SeparatorLines()) painter.drawLine(x, 0, x, height() - 1);
    }

private:
    TListGrid* FGrid;
};

// The header row: the caption picture stretched over each section and the caption centred on one
// line, cut with an ellipsis when the column is narrower than it.
class TCaptionHeader : public QHeaderView {
public:
    explicit TCaptionHeader(QWidget* AParent) : QHeaderView(Qt::Horizontal, AParent) {}

protected:
    void paintSection(QPainter* APainter, const QRect& ARect, int ASection) const override {
        if (!ARect.isValid() || !model()) return;
        APainter->save();
        APainter->drawPixmap(ARect, TAudioFileCellPainter::CaptionPicture());
        APainter->setPen(palette().color(QPalette::WindowText));
        const QRect text = ARect.adjusted(3, 0, -3, 0);
        const QString caption = model()->headerData(ASection, orientation()).toString();
        APainter->drawText(text, Qt::AlignCenter | Qt::TextSingleLine,
                           fontMetrics().elidedText(caption, Qt::ElideRight, text.width()));
        APainter->restore();
    }
};

TListGrid::TListGrid(QWidget* AParent) : QTableView(AParent), FSeparators(new TSeparatorLayer(this)) {
    setHorizontalHeader(new TCaptionHeader(this));
    FSeparators->setGeometry(rect());
    FSeparators->raise();
    // Column widths change the line positions.
    connect(horizontalHeader(), &QHeaderView::sectionResized, FSeparators,
            [this] { FSeparators->update(); });
}

std::vector<int> TListGrid::SeparatorLines() const {
    std::vector<int> lines;
    const int columns = model() ? model()->columnCount() : 0;
    // The surface starts at the frame's inner edge, where the first column begins.
    int x = viewport()->x() - horizontalScrollBar()->value();
    for (int c = 0; c < 6; ++c) {
        x += c < columns ? columnWidth(c) : DefaultColumnWidth;
        lines.push_back(x);
        x += 1;
    }
    return lines;
}

void TListGrid::resizeEvent(QResizeEvent* AEvent) {
    QTableView::resizeEvent(AEvent);
    FSeparators->setGeometry(rect());
    FSeparators->raise();
}

void TListGrid::scrollContentsBy(int ADx, int ADy) {
    QTableView::scrollContentsBy(ADx, ADy);
    FSeparators->update();
}

void TListGrid::keyPressEvent(QKeyEvent* AEvent) {
    if (AEvent->key() == Qt::Key_Delete && AEvent->modifiers() == Qt::NoModifier) {
        emit DeletePressed();
        return;
    }
    QTableView::keyPressEvent(AEvent);
}
