#pragma once
// Qt's own texts (the standard buttons "确定"/"取消", the file dialog, the line edit's menu) in the
// window's language, Simplified Chinese, from Qt's translations (Debian's qt6-translations-l10n).

class QCoreApplication;

// Installs the translator on `app`. False when Qt's Chinese translations are not installed: Qt's texts
// then stay English, and the program works as before.
bool InstallQtTranslations(QCoreApplication& app);
