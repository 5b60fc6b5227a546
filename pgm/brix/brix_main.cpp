#include "brix_main.h"

#include <iostream>

int brix_main(int, char**) {
    std::cout << "\nMissing valid operation\n\n";
    return 8;
}
