// quillon-settings: reads and writes the program's encrypted settings files (work in progress).

#include <QTextStream>

int main() {
    QTextStream(stderr) << "quillon-settings: not implemented yet\n";
    return 1;
}
