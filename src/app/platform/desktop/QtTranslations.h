#pragma once

class QCoreApplication;
class QTranslator;

namespace app {

// Loads Qt's own Simplified Chinese texts (file dialogs, message box buttons, context menus), so
// Qt's dialogs speak the interface's language whatever the desktop's language is. Returns the
// installed translator, owned by the application; null when the translation file is not installed
// (Qt's texts then stay English).
QTranslator* installQtTranslations(QCoreApplication& application);

} // namespace app
