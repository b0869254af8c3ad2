// Prints a password as a destination record stores it, so the road benchmark
// can write the record of its SMB destination. Usage: bench_password TEXT
#include "prefs/prefs.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_password TEXT\n");
        return 2;
    }
    std::printf("%s\n", qPrintable(pv::Prefs::encryptPassword(QString::fromLocal8Bit(argv[1]))));
    return 0;
}
