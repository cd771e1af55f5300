"""scripts/check-layers: the component's own folders pass, and a folder that includes one above it
(or lies on no floor) fails with the file, the line and the rule it breaks."""
import os
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "scripts", "check-layers")


def run(root):
    return subprocess.run(["/usr/bin/python3", SCRIPT, "--root", root], capture_output=True,
                          text=True, check=False)


class LayeringTest(unittest.TestCase):
    def test_the_component_is_layered(self):
        r = run(os.path.join(HERE, ".."))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("0 pairs running up", r.stdout)

    def test_crafted_trees(self):
        # (files with their text, expected status, expected message or None)
        cases = [
            ({"base/error.h": "", "db/value.cpp": '#include "base/error.h"\n'}, 0, None),
            ({"db/value.h": "", "db/row.cpp": '#include "value.h"\n#include <vector>\n'}, 0, None),
            ({"component/taviksms.h": "",
              "db/value.cpp": '// the value\n\n#include "component/taviksms.h"\n'}, 1,
             "db/value.cpp:3: db/ (floor 1) includes component/taviksms.h (component/, floor 9):"
             " a folder may include only its own files and those of the floors below it"),
            ({"attic/old.cpp": "int x;\n"}, 1, "attic/old.cpp: the folder attic/ is on no floor"),
            ({"tests/t.cpp": '#include "com/module.h"\n', "com/module.h": ""}, 0, None),
        ]
        for files, status, message in cases:
            with self.subTest(files=sorted(files)), tempfile.TemporaryDirectory() as root:
                for name, text in files.items():
                    os.makedirs(os.path.join(root, os.path.dirname(name)), exist_ok=True)
                    with open(os.path.join(root, name), "w", encoding="utf-8") as f:
                        f.write(text)
                r = run(root)
                self.assertEqual(r.returncode, status, r.stderr)
                if message:
                    self.assertIn(message, r.stderr)


if __name__ == "__main__":
    unittest.main()
