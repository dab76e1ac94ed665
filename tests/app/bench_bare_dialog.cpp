// The yardsticks of scripts/startup-bench.sh: an empty dialog of the main window's size, built
// with the same Qt and run on the same platform plugin, fonts and X server, so that what the
// window costs beyond it is what the program itself does before its first paint. With --text it
// shows one line in the default font: any window with text pays for the font system's start.
//   build/bin/bench_bare_dialog [--text] [WIDTH HEIGHT]   (default 523 215, the LED page's size)
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const bool text = argc > 1 && std::strcmp(argv[1], "--text") == 0;
    const int first = text ? 2 : 1;
    const bool sized = argc > first + 1;
    QDialog dialog;
    dialog.setWindowTitle("bench_bare_dialog");
    dialog.setFixedSize(sized ? std::stoi(argv[first]) : 523,
                        sized ? std::stoi(argv[first + 1]) : 215);
    if (text) (new QLabel("Disconnected", &dialog))->move(4, 196);
    dialog.show();
    return app.exec();
}
