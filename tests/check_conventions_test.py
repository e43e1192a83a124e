#!/usr/bin/env python3
"""Cases for check_conventions.py: each names a file, its text, and the findings expected."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_conventions  # noqa: E402

DOC = "sp" "ec.md"
PART = "Pa" "rt 3.3"

CASES = [
    # (path, text, number of findings, a word every finding line holds)
    ("engine/a.cc", '#include "control/control.h"\n', 1, "higher layer control/"),
    ("account/a.cc", '#include "store/resume_store.h"\n', 1, "higher layer store/"),
    ("store/a.cc", '#include "account/ini_file.h"\n', 0, ""),
    ("protocol/a.h", '#include "net/http_client.h"\n#include "port/file.h"\n', 0, ""),
    ("server/a.cc", '#include "apps/bridge/web/web_assets.h"\n', 1, "client's apps/"),
    ("server/a.cc", '#include "engine/engine.h"\n', 1, "client's engine/"),
    ("server/a.cc", '#include "codec/sha1.h"\n#include "port/mutex.h"\n', 0, ""),
    ("server/a.cc", '#include "web/web_assets.h"\n', 0, ""),
    ("apps/bridge/a.cc", '#include "web/web_assets.h"\n', 0, ""),
    ("web/a.h", '#include "port/mutex.h"\n', 1, "is a leaf"),
    ("engine/a.cc", '#include "server/testing/server_process.h"\n', 1, "includes the service"),
    ("engine/a_test.cc", '#include "server/testing/server_process.h"\n', 0, ""),
    ("engine/transfer_test_support.h", '#include "server/testing/service_fixture.h"\n', 0, ""),
    ("engine/a_test.cc", '#include "server/metadata.h"\n', 1, "includes the service"),
    ("bench/a.cc", '#include "server/metadata.h"\n#include "engine/engine.h"\n', 0, ""),
    ("net/a.cc", "#include <sys/socket.h>\n", 1, "OS header <sys/socket.h>"),
    ("account/a.cc", '#include "net/http_client.h"\n#include <net/if.h>\n', 1, "OS header <net/if.h>"),
    ("engine/a.cc", "#include <windows.h>\n#include <unistd.h>\n", 2, "OS header"),
    ("engine/a.cc", "#include <csignal>\n#include <cstdio>\n#include <thread>\n", 0, ""),
    ("port/posix/a.cc", "#include <unistd.h>\n", 0, ""),
    ("server/http_server.cc", "#include <poll.h>\n", 0, ""),
    ("server/metadata.cc", "#include <unistd.h>\n", 1, "OS header"),
    ("control/com/a.h", "#include <ocidl.h>\n", 0, ""),
    ("engine/a.cc", "// as " + DOC + " says\n", 1, "names the source document"),
    ("engine/a_test.cc", "// " + PART + ": the order\n", 1, "names the source document"),
    ("apps/bridge/web/a.js", "/* see " + PART + " */\n", 1, "names the source document"),
    ("engine/a.cc", "// the part 2 of the range; a specific case\n", 0, ""),
    ("docs/" + DOC, "", 1, "its name"),
]


class CheckConventionsTest(unittest.TestCase):
    def test_cases(self):
        for path, text, count, word in CASES:
            with self.subTest(path=path, text=text):
                findings = check_conventions.check_file(path, text)
                self.assertEqual(count, len(findings), findings)
                for line in findings:
                    self.assertTrue(line.startswith(path), line)
                    self.assertIn(word, line)


if __name__ == "__main__":
    unittest.main()
