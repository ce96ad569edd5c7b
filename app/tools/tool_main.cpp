// One of the suite's settings tools; the build names which (VT_SUITE_TOOL).

#include "app/tools/suite_tools.h"

int main(int argc, char** argv) {
    return vt::app::run_suite_tool(argc, argv,
                                   []() -> QDialog* { return new vt::app::VT_SUITE_TOOL; });
}
