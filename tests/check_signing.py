"""Signs copies of the exe with scripts/sign-exe.sh and a throwaway
self-signed certificate, and checks each outcome with osslsigncode verify."""

import os
import shutil
import subprocess
import tempfile
import unittest

EXE = os.environ["HELPER_EXE"]
SIGN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "sign-exe.sh")
PASSWORD = "pa ss'word"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run(*command, env=None):
    return subprocess.run(command, env=env, capture_output=True, text=True)


class Signing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="vantrell-sign-")
        cls.cert, cls.p12, key = (os.path.join(cls.dir, name) for name in ("cert.pem", "cert.p12", "key.pem"))
        for command in (("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cls.cert, "-days", "2",
                         "-subj", "/CN=Throwaway test signer", "-addext", "extendedKeyUsage=codeSigning"),
                        ("pkcs12", "-export", "-inkey", key, "-in", cls.cert, "-out", cls.p12, "-passout", "pass:" + PASSWORD)):
            made = run("openssl", *command)
            assert made.returncode == 0, made.stderr

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def copy(self, name):
        path = os.path.join(self.dir, name)
        shutil.copyfile(EXE, path)
        return path

    def verify(self, exe):
        return run("osslsigncode", "verify", "-CAfile", self.cert, "-in", exe)

    def sign(self, exe, **variables):
        env = {k: v for k, v in os.environ.items() if not k.startswith("VANTRELL_SIGN_")}
        env.update(variables)
        return run(SIGN, exe, env=env)

    def test_a_signed_exe_verifies_and_an_unsigned_or_altered_one_does_not(self):
        exe = self.copy("signed.exe")
        signed = self.sign(exe, VANTRELL_SIGN_PKCS12=self.p12, VANTRELL_SIGN_PASSWORD=PASSWORD)
        self.assertEqual(signed.returncode, 0, signed.stderr)
        checked = self.verify(exe)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        self.assertIn("Throwaway test signer", checked.stdout)
        self.assertEqual([n for n in os.listdir(self.dir) if n.startswith(".signing-")], [])

        self.assertNotEqual(self.verify(self.copy("unsigned.exe")).returncode, 0)
        altered = bytearray(read(exe))
        altered[0x400] ^= 0xFF  # inside the code, past the headers
        with open(exe, "wb") as f:
            f.write(altered)
        self.assertNotEqual(self.verify(exe).returncode, 0)

    def test_a_failed_signing_leaves_the_exe_as_it_was(self):
        good = dict(VANTRELL_SIGN_PKCS12=self.p12, VANTRELL_SIGN_PASSWORD=PASSWORD)
        cases = [
            ("wrong password", dict(good, VANTRELL_SIGN_PASSWORD="wrong"), "Wrong password"),
            ("no password", dict(VANTRELL_SIGN_PKCS12=self.p12), "Wrong password"),
            ("missing certificate", dict(VANTRELL_SIGN_PKCS12=self.dir + "/none.p12"), "cannot read the certificate"),
            ("no certificate named", dict(), "VANTRELL_SIGN_PKCS12 names no certificate"),
            # Port 9 on the loopback: nothing listens, the time stamp cannot be had.
            ("time-stamp server unreachable", dict(good, VANTRELL_SIGN_TIMESTAMP="http://127.0.0.1:9/"), "signing"),
        ]
        for name, variables, reason in cases:
            with self.subTest(name):
                exe = self.copy("failed.exe")
                signed = self.sign(exe, **variables)
                self.assertNotEqual(signed.returncode, 0)
                self.assertIn(reason, signed.stderr)
                self.assertEqual(len(signed.stderr.strip().splitlines()), 1, signed.stderr)
                self.assertEqual(read(exe), read(EXE))


if __name__ == "__main__":
    unittest.main()
