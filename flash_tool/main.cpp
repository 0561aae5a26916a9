#include "Brovald.h"

int main(int argc, char** argv)
{
    return brovald_main(argc, argv);
}
