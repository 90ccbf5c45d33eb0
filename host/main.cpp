#include "host/TessoraHost.h"
#include "platform/window/WindowDialogs.h"

int main(int argc, char* argv[]) {
    InstallWindowSystemDialogs();
    return wmain(argc, argv);
}
