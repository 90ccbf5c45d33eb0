#include "dialog/WindowDialogs.h"
#include "host/TessoraHost.h"

int main(int argc, char* argv[]) {
    InstallWindowSystemDialogs();
    return wmain(argc, argv);
}
