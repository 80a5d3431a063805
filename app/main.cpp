#include "zustartup.h"

int main(int argc, char *argv[])
{
    return zuplayer_main(argc, argv);
}
