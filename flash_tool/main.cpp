#include "Brovald.h"

int main(int argc, char** argv)
{
    return brovald::brovald_main(argc, argv);
}
