"""The command channel through the real program: framing, parsing, answers, ordering, exit."""

import json
import unittest

from harness import Program, ProgramTest


class Startup(unittest.TestCase):
    def test_ready_first_then_exit_zero_at_end_of_input(self):
        p = Program()
        try:
            self.assertEqual(set(p.ready), {"event", "pid"})
            self.assertEqual(p.ready["event"], "ready")
            self.assertIsInstance(p.ready["pid"], int)
            code, rest = p.finish()
            self.assertEqual(code, 0)
            self.assertEqual(rest, [])
        finally:
            p.kill()


class Framing(ProgramTest):
    def test_exact_examples(self):
        self.p.send_raw(b"hello\n")
        self.assertEqual(self.p.read_line(), b'{"error":"bad command: expected value at line 1 column 1","ok":false}')
        self.p.send_raw(b'{"cmd":"pin"\n')
        self.assertEqual(self.p.read_line(),
                         b'{"error":"bad command: EOF while parsing an object at line 1 column 12","ok":false}')

    def test_trimming_blank_lines_and_crlf(self):
        self.p.send_raw(b'  {"cmd":"x","seq":1}\t\n\n   \n\t\r\n{"cmd":"y","seq":2}\r\n')
        # U+00A0 and U+3000 are white space too; U+200B is not.
        self.p.send_raw('\u00a0\u3000{"cmd":"z","seq":3}\u2029\n'.encode())
        self.assertEqual(self.p.read_line(), b'{"ok":true,"result":{"unknown":"x"},"seq":1}')
        self.assertEqual(self.p.read_line(), b'{"ok":true,"result":{"unknown":"y"},"seq":2}')
        self.assertEqual(self.p.read_line(), b'{"ok":true,"result":{"unknown":"z"},"seq":3}')
        self.p.send_raw('\u200b{"cmd":"w"}\n'.encode())
        self.assertEqual(self.p.read_json()["error"], "bad command: expected value at line 1 column 1")

    def test_last_line_without_lf_is_answered(self):
        self.p.send_raw(b'{"cmd":"last","seq":9}')
        code, rest = self.p.finish()
        self.assertEqual(code, 0)
        self.assertEqual(rest, [b'{"ok":true,"result":{"unknown":"last"},"seq":9}'])

    def test_invalid_utf8_ends_the_conversation(self):
        self.p.send_raw(b'{"cmd":"a","seq":1}\n{"cmd":"\xff"}\n{"cmd":"b","seq":2}\n')
        code, rest = self.p.finish()
        self.assertEqual(code, 0)
        self.assertEqual(rest, [b'{"ok":true,"result":{"unknown":"a"},"seq":1}'])

    def test_long_line(self):
        name = "n" * (3 * 1024 * 1024)
        self.p.send({"cmd": name, "seq": 1})
        answer = self.p.read_json()
        self.assertEqual(answer["result"]["unknown"], name)


class Answers(ProgramTest):
    def roundtrip(self, line):
        self.p.send_raw(line.encode() + b"\n")
        return self.p.read_line()

    def test_seq_echo_and_key_order(self):
        self.assertEqual(self.roundtrip('{"seq":{"b":[1,{"d":1,"c":2}],"a":"\\u00e9"},"cmd":"Register"}'),
                         '{"ok":true,"result":{"unknown":"Register"},"seq":{"a":"\u00e9","b":[1,{"c":2,"d":1}]}}'.encode())
        self.assertEqual(self.roundtrip('{"cmd":7}'), b'{"ok":true,"result":{"unknown":""},"seq":null}')
        self.assertEqual(self.roundtrip('["cmd","pin"]'), b'{"ok":true,"result":{"unknown":""},"seq":null}')
        self.assertEqual(self.roundtrip('"pin"'), b'{"ok":true,"result":{"unknown":""},"seq":null}')
        self.assertEqual(self.roundtrip('{"cmd":"pin ","seq":"a7"}'), b'{"ok":true,"result":{"unknown":"pin "},"seq":"a7"}')
        self.assertEqual(self.roundtrip('{"cmd":"unregisters","seq":true}'),
                         b'{"ok":true,"result":{"unknown":"unregisters"},"seq":true}')

    def test_numbers_and_duplicates(self):
        self.assertEqual(self.roundtrip('{"cmd":"a","cmd":"b","seq":[18446744073709551615,-9223372036854775808,1.50,1E16,0.000001,1e300,123456789012345678901234567890]}'),
                         b'{"ok":true,"result":{"unknown":"b"},"seq":[18446744073709551615,-9223372036854775808,1.5,1e16,1e-6,1e300,1.2345678901234568e29]}')

    def test_escapes_in_output(self):
        self.assertEqual(self.roundtrip('{"cmd":"a\\tb\\"c\\u0001/\\u007f","seq":0}'),
                         b'{"ok":true,"result":{"unknown":"a\\tb\\"c\\u0001/\x7f"},"seq":0}')

    def test_nesting_limit(self):
        ok = "[" * 126 + "]" * 126
        self.assertEqual(self.roundtrip('{"cmd":"x","seq":%s}' % ok), ('{"ok":true,"result":{"unknown":"x"},"seq":%s}' % ok).encode())
        deep = "[" * 127 + "]" * 127
        answer = json.loads(self.roundtrip('{"cmd":"x","seq":%s}' % deep))
        self.assertTrue(answer["error"].startswith("bad command: recursion limit exceeded"), answer)

    def test_parse_problems(self):
        cases = {
            '{"a" 1}': "expected `:` at line 1 column 6",
            "[1 2]": "expected `,` or `]` at line 1 column 4",
            '{"a":1 "b":2}': "expected `,` or `}` at line 1 column 8",
            "{1:2}": "key must be a string at line 1 column 2",
            "[1,]": "trailing comma at line 1 column 4",
            "[1": "EOF while parsing a list at line 1 column 2",
            '"abc': "EOF while parsing a string at line 1 column 4",
            "[": "EOF while parsing a list at line 1 column 1",
            '{"a":': "EOF while parsing a value at line 1 column 5",
            '"\\x"': "invalid escape at line 1 column 3",
            "01": "invalid number at line 1 column 2",
            "1 2": "trailing characters at line 1 column 3",
            "tru": "EOF while parsing a value at line 1 column 3",
            "trux": "expected ident at line 1 column 4",
            '"a\tb"': "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3",
            "1e400": "number out of range at line 1 column 5",
        }
        for line, problem in cases.items():
            with self.subTest(line=line):
                self.assertEqual(json.loads(self.roundtrip(line)), {"error": "bad command: " + problem, "ok": False})


class Shutdown(unittest.TestCase):
    def test_closed_output_still_reads_input_and_exits_zero(self):
        import os, subprocess, tempfile
        from harness import PROGRAM, WRAPPER
        if not PROGRAM:
            self.skipTest("ZCF_PROGRAM is not set")
        with tempfile.TemporaryDirectory() as state:
            env = dict(os.environ, XDG_STATE_HOME=state)
            proc = subprocess.Popen(([WRAPPER] if WRAPPER else []) + [PROGRAM], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, env=env, cwd=state)
            proc.stdout.readline()
            proc.stdout.close()  # the parent stops reading: every later line is dropped
            lines = b"".join(b'{"cmd":"x","seq":%d}\n' % i for i in range(2000))
            proc.stdin.write(lines)
            proc.stdin.close()
            self.assertEqual(proc.wait(timeout=60), 0)


if __name__ == "__main__":
    unittest.main()


class MemoryExhaustion(unittest.TestCase):
    """A request that needs more memory than there is gets E_OUTOFMEMORY, and the program goes on."""

    def test_out_of_memory_is_answered_and_the_conversation_goes_on(self):
        from harness import SANITIZED, on_linux
        if not on_linux() or SANITIZED:
            self.skipTest("needs a native build whose address space can be limited")
        p = Program(address_space=256 << 20)
        try:
            # A line longer than the memory there is: dropped unread, so its "seq" is unknown.
            p.send_raw(b'{"seq":1,"cmd":"x","pad":"' + b"a" * (320 << 20) + b'"}\n')
            dropped = p.read_json()
            self.assertEqual(set(dropped), {"ok", "error", "code"})
            self.assertEqual((dropped["ok"], dropped["code"]), (False, "0x8007000e"))
            self.assertTrue(dropped["error"].endswith("(0x8007000E)"), dropped)
            # A line that fits but whose value tree does not: answered with its "seq".
            p.send_raw(b'{"seq":2,"cmd":"x","a":[' + b"0," * (24 << 20) + b'0]}\n')
            self.assertEqual(p.read_json(), {"seq": 2, "ok": False, "code": "0x8007000e",
                                             "error": dropped["error"]})
            self.assertEqual(p.request("nothing"), {"seq": 1, "ok": True, "result": {"unknown": "nothing"}})
            code, rest = p.finish()
            self.assertEqual((code, rest), (0, []))
        finally:
            p.kill()
