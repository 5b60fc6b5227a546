// The build_brix executable: runs one operation and turns a failure report into exit status 1.
#include "brix_main.h"
#include "msg_internal_error.h"

int main(int argc, char** argv) {
    try {
        return brix_main(argc, argv);
    } catch (const BRIX_INTERNAL_ERROR& error) {
        MSG_INTERNAL_ERROR::print(error);
        return 1;
    }
}
