#include "app/tool_app.h"

int main(int argc, char** argv) {
    return kq::RunTool(argc, argv);
}
