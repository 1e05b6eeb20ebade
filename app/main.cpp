#include "app/app.h"

namespace {
vg::app::App app;  // the run's one instance of every record and buffer
}

int main(int argc, char** argv) {
    return vg::app::runLogger(app, argc, argv);
}
