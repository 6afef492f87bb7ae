#pragma once
// The options page is built by Form1 and added to by the features that own an option: each finds the
// column to join through a widget already in it, wherever the page nests that column.

class QBoxLayout;
class QWidget;

// The box layout that holds `member` directly, searched from its parent widget's layout down; null when
// there is none.
QBoxLayout* ColumnHolding(QWidget* member);
