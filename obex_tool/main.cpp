#include "Zarnik.h"

int main(int argc, char** argv)
{
    return zarnik::zarnik_main(argc, argv);
}
