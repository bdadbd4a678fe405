#include "cli/orf.h"

int main(int argc, char *argv[])
{
    return orf::run(argc, argv);
}
