#include <QApplication>
#include <QLabel>
#include <QMainWindow>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Tessivarnholm");
    QCoreApplication::setApplicationName("Tessivarnholm");

    QMainWindow window;
    window.setWindowTitle("Tessivarnholm");
    window.resize(1280, 820);
    window.setMinimumSize(880, 560);
    auto* label = new QLabel("Tessivarnholm 正在搭建中", &window);
    label->setAlignment(Qt::AlignCenter);
    window.setCentralWidget(label);
    window.show();
    return app.exec();
}
