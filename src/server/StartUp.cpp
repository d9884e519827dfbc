#include "server/ServerProcess.h"
#include "ui/DesktopApp.h"

int main(int argc, char** argv) { return voxmit::StartUp(argc, argv, voxmit::MakeQtDesktop); }
