// velkor_zuma.cli: the `velkor-zuma` console script, one function that runs it.
#include "modules/cli/cli.hpp"

namespace nb = nanobind;

NB_MODULE(cli, m) {
    m.doc() = "The `velkor-zuma` command line: main(argv=None) runs it and returns the exit status.";
    m.def("main", &vz::cli::main_entry, nb::arg("argv") = nb::none(),
          "Runs the velkor-zuma command with argv (default: sys.argv[1:]); returns the exit status.");
}
