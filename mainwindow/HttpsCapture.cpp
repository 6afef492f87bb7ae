#include "mainwindow/HttpsCapture.h"

#include "mainwindow/Form1.h"
#include "mainwindow/Form3.h" // Form1.h needs it complete for form3()
#include "mainwindow/KeyLogOptions.h"

#include <QVBoxLayout>

HttpsCapture::HttpsCapture(Form1* form) : QObject(form), form_(form) {
    QWidget* page = form_->Frame1(1);
    options_ = new KeyLogOptions(form_->settings(), page);
    // Last in the left column, above its closing stretch.
    if (auto* column = page->findChild<QVBoxLayout*>(QStringLiteral("OptionsLeftColumn"))) {
        const int stretch = column->count() - 1;
        column->insertSpacing(stretch, 8);
        column->insertWidget(stretch + 1, options_);
    }
}

HttpsCapture::~HttpsCapture() = default;
