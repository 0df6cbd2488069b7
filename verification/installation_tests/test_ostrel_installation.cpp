// tests.installation_tests.test_ostrel_installation: the package installed into fresh virtual
// environments, together with other requirements, by the script venv_test_runner.sh.
#include <functional>
#include <string>

#include "bindings/values.hpp"
#include "verification/e2e_tests/e2e_support.hpp"

namespace py = pybind11;
using namespace ostrel::e2e;
using ostrel::truthy;

namespace {

// The script beside the module file; where the package is installed without it, the one in the
// working directory (the folder the relative requirement paths are read from too).
py::object script_path(py::module_& m) {
  py::object path_cls = m.attr("Path");
  py::object beside = path_cls(m.attr("__file__")).attr("parent").attr("joinpath")("venv_test_runner.sh");
  if (truthy(beside.attr("is_file")())) return beside;
  return path_cls.attr("cwd")().attr("joinpath")("venv_test_runner.sh");
}

// `with self.assertRaises(CalledProcessError) as error_ctx: body()`, then the script's exit status.
void expect_status(py::object self, py::module_& m, int status, const std::function<void()>& body) {
  py::object error_ctx = expect_raises(self, m.attr("subprocess").attr("CalledProcessError"), body);
  expect(self, "assertEqual", error_ctx.attr("exception").attr("returncode"), status);
}

}  // namespace

MODTREE_MODULE("installation_tests.test_ostrel_installation", m) {
  m.attr("Path") = modtree::import_from("pathlib", "Path");
  m.attr("venv") = py::module_::import("venv");
  m.attr("tempfile") = py::module_::import("tempfile");
  m.attr("shutil") = py::module_::import("shutil");
  m.attr("subprocess") = py::module_::import("subprocess");
  m.attr("TestCase") = modtree::import_from("unittest", "TestCase");
  m.attr("GPU_PRESENT") = modtree::import_from("ostrel", "GPU_PRESENT");

  CheckClass cls(m, "TestOstrelInstallation");
  cls.base(m.attr("TestCase"));
  cls.doc("Installation of the package through its setup script, together with other dependencies, in "
          "several situations: each check makes a fresh virtual environment and judges the installation "
          "script's exit status.");
  cls.def_classmethod(
      "setUpClass",
      [m](py::object klass) mutable {
        klass.attr("_venv_tmp_dir") = m.attr("tempfile").attr("TemporaryDirectory")(py::arg("prefix") = "tmp_ostrel_install_venvs_");
      },
      py::arg("cls"));
  cls.def_property(
      "venv_dir",
      [m](py::object self) mutable -> py::object {
        return m.attr("Path")(self.attr("_venv_tmp_dir").attr("name"))
            .attr("joinpath")(py::str(self.attr("_testMethodName")) + py::str("_ostrel_venv"));
      },
      "This check's own environment folder.");
  cls.def(
      "setUp",
      [m](py::object self) mutable {
        // The folder goes again whatever the check's outcome, also when making the environment fails.
        self.attr("addCleanup")(m.attr("shutil").attr("rmtree"), self.attr("venv_dir"), py::arg("ignore_errors") = true);
        m.attr("venv").attr("create")(py::str(self.attr("venv_dir")), py::arg("with_pip") = true);
      },
      py::arg("self"));
  cls.def(
      "tearDown",
      [m](py::object self) mutable {
        py::object dir = self.attr("venv_dir");
        if (truthy(dir.attr("exists")())) m.attr("shutil").attr("rmtree")(dir);
      },
      py::arg("self"));
  cls.def(
      "run_test_suite_in_venv",
      [m](py::object self, py::object requirements, bool dont_install_ostrel, bool reinstall_requirements) mutable {
        py::list args;
        args.append(script_path(m));
        args.append("--venv-dir");
        args.append(self.attr("venv_dir"));
        args.append("--requirements-path");
        args.append(requirements);
        if (truthy(m.attr("GPU_PRESENT"))) args.append("--gpu-present");
        if (dont_install_ostrel) args.append("--dont-install-ostrel");
        if (reinstall_requirements) args.append("--reinstall-requirements");
        m.attr("subprocess").attr("run")(args, py::arg("check") = true, py::arg("shell") = false);
      },
      py::arg("self"), py::arg("requirements"), py::arg("dont_install_ostrel") = false,
      py::arg("reinstall_requirements") = false,
      "Runs the installation script on this check's environment; a failing exit status raises "
      "subprocess.CalledProcessError.");

  method(cls, "test_install_on_empty_env", [](py::object self) {
    self.attr("run_test_suite_in_venv")(py::arg("requirements") = "requirements/empty.requirements.txt");
  });
  method(cls, "test_install_conflicting_requirements", [m](py::object self) mutable {
    std::string gpu_suffix = truthy(m.attr("GPU_PRESENT")) ? "_gpu" : "";
    std::string requirements = "requirements/torch_numpy_1_20.with_ostrel" + gpu_suffix + ".requirements.txt";
    expect_status(self, m, 3, [&] {
      self.attr("run_test_suite_in_venv")(py::arg("requirements") = requirements, py::arg("dont_install_ostrel") = true);
    });
  });
  method(cls, "test_install_conflicting_requirements_after_ostrel_is_installed", [m](py::object self) mutable {
    const char* requirements = "requirements/torch_numpy_1_20.requirements.txt";
    if (!truthy(m.attr("GPU_PRESENT"))) {
      self.attr("run_test_suite_in_venv")(py::arg("requirements") = requirements,
                                          py::arg("reinstall_requirements") = true);
      return;
    }
    expect_status(self, m, 100, [&] {
      self.attr("run_test_suite_in_venv")(py::arg("requirements") = requirements,
                                          py::arg("reinstall_requirements") = true);
    });
  });
  cls.build();
}
