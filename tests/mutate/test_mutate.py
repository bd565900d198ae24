"""scripts/mutate on fakes: anchors, the runs of a suite a tree may lack or
whose tests its unmutated build already fails, and the list's regions."""
import importlib.machinery
import importlib.util
import os
import stat
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "scripts", "mutate")

try:
    import tomllib  # noqa: F401  (the harness needs Python 3.11)
    _loader = importlib.machinery.SourceFileLoader("mutate_script", SCRIPT)
    _spec = importlib.util.spec_from_loader("mutate_script", _loader)
    mutate = importlib.util.module_from_spec(_spec)
    _loader.exec_module(mutate)
except ModuleNotFoundError:
    mutate = None


@unittest.skipIf(mutate is None, "the harness needs Python 3.11 (tomllib)")
class MutateTextTest(unittest.TestCase):
    def test_anchor_and_search(self):
        text = "a = x + 1;\nb = y + 1;\n"
        cases = [
            ({"anchor": "a = x + 1;", "replace": "a = x;"}, "a = x;\nb = y + 1;\n", None),
            ({"anchor": "b = y + 1;", "search": " + 1", "replace": ""}, "a = x + 1;\nb = y;\n", None),
            ({"anchor": " + 1;", "replace": ";"}, None, "anchor found 2 times"),
            ({"anchor": "c = z;", "replace": ""}, None, "anchor not found"),
            ({"anchor": "a = x + 1;", "search": "y", "replace": ""}, None, "search text not once in the anchor"),
        ]
        for mutant, mutated, stale in cases:
            with self.subTest(mutant=mutant):
                self.assertEqual(mutate.mutate_text(text, mutant), (mutated, stale))


@unittest.skipIf(mutate is None, "the harness needs Python 3.11 (tomllib)")
class RunSuiteTest(unittest.TestCase):
    """A fake test binary: fails the tests named in FAIL, and prints the
    host device's settings it was given."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.binary = os.path.join(self.dir.name, "fake_tests")
        with open(self.binary, "w") as f:
            f.write("#!/bin/sh\n"
                    "env | grep '^HOSTGPU_' | sort\n"
                    "for t in $FAIL; do echo \"[  FAILED  ] $t\"; done\n"
                    "[ -z \"$FAIL\" ]\n")
        os.chmod(self.binary, os.stat(self.binary).st_mode | stat.S_IEXEC)
        self.saved = dict(os.environ)

    def tearDown(self):
        os.environ.clear()
        os.environ.update(self.saved)
        self.dir.cleanup()

    def run_fake(self, binary, seed=None):
        return mutate.run_suite(self.dir.name, {"binary": binary}, "*", seed, 30)

    def test_outcomes(self):
        os.environ["HOSTGPU_POISON"] = "1"  # a setting of the caller's shell must not leak into a run
        cases = [
            # binary, failing tests, seed: passed, failed tests, settings seen
            ("fake_tests", "", None, True, [], ""),
            ("fake_tests", "A.b C.d", None, False, ["A.b", "C.d"], ""),
            ("fake_tests", "", "7", True, [], "HOSTGPU_HOSTILE=7"),
            # A tree without the suite: it catches nothing.
            ("no_such_tests", "", "7", True, [], None),
        ]
        for binary, failing, seed, passed, failed, settings in cases:
            with self.subTest(binary=binary, failing=failing, seed=seed):
                os.environ["FAIL"] = failing
                result = self.run_fake(binary, seed)
                self.assertEqual(result.passed, passed)
                self.assertEqual(result.failed_tests, failed)
                if settings is not None:
                    self.assertEqual([line for line in result.output.splitlines() if line.startswith("HOSTGPU_")],
                                     [settings] if settings else [])

    def test_tests_failing_unmutated_are_left_out(self):
        cases = [
            ("*", [], "*"),
            ("*", ["A.b", "C.d"], "*-A.b:C.d"),
            # A filter with excluded tests already: the new ones join them.
            ("*ada*-*DryRun*", ["A.b"], "*ada*-*DryRun*:A.b"),
        ]
        for filter_, tests, expected in cases:
            with self.subTest(filter=filter_, tests=tests):
                self.assertEqual(mutate.without_tests(filter_, tests), expected)


@unittest.skipIf(mutate is None, "the harness needs Python 3.11 (tomllib)")
class ListTest(unittest.TestCase):
    HEAD = '[suites]\nrows = { binary = "rows_tests" }\n[[cover]]\nfiles = ["k.h"]\nruns = [{ suite = "rows" }]\n'
    MUTANT = ('[[mutant]]\nid = "m"\nfamily = "f"\nclass = "indexing"\nfile = "k.h"\nanchor = "x"\n'
              'replace = "y"\nexpect = "killed"\n')

    def load(self, extra):
        with tempfile.NamedTemporaryFile("w", suffix=".toml", delete=False) as f:
            f.write(self.HEAD + self.MUTANT + extra)
        try:
            return mutate.load_list(f.name)
        finally:
            os.unlink(f.name)

    def test_regions(self):
        cases = [
            ('', []),
            ('region = "dp2a/m_tile_1"\n', ["dp2a/m_tile_1"]),
            ('region = ["ada/sub_tile_1", "native/sub_tile_1"]\n', ["ada/sub_tile_1", "native/sub_tile_1"]),
            ('region = "m_tile_1"\n', None),
            ('region = ["ada/sub_tile_1", 3]\n', None),
        ]
        for extra, regions in cases:
            with self.subTest(extra=extra):
                if regions is None:
                    with self.assertRaises(mutate.ListError):
                        self.load(extra)
                else:
                    _, _, mutants = self.load(extra)
                    self.assertEqual(mutate.regions_of(mutants[0]), regions)


if __name__ == "__main__":
    unittest.main()
