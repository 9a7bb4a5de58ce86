"""EnvConfig: the INI file, the environment overlay and the checked FTP options."""

import configparser
import os
import subprocess
import sys
from pathlib import Path

import pytest

from dravlen.config import ConfigError, EnvConfig
from dravlen.ftp.settings import ftp_settings


@pytest.fixture(autouse=True)
def clean_env(monkeypatch, tmp_path):
    """No DRAVLEN_* variable from the caller's shell, and a home of our own."""
    for name in list(os.environ):
        if name.upper().startswith("DRAVLEN_"):
            monkeypatch.delenv(name)
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    return home


def write_ini(path: Path, text: str) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")
    return path


class TestSources:
    def test_named_file_then_environment_over_it(self, tmp_path, monkeypatch):
        ini = write_ini(tmp_path / "a.ini", "[ftp]\nhost = file.example\nport = 2121\nuser = bob\n")
        monkeypatch.setenv("DRAVLEN_CONFIG", str(ini))
        monkeypatch.setenv("DRAVLEN_FTP_PORT", "2222")
        monkeypatch.setenv("DRAVLEN_FTP_PASV", "false")
        c = EnvConfig.init_configer()
        assert isinstance(c, configparser.ConfigParser)
        assert c.get("ftp", "host") == "file.example"
        assert c.getint("ftp", "port") == 2222
        assert c.get("ftp", "user") == "bob"
        assert c.has_option("ftp", "pasv") and c.getboolean("ftp", "pasv") is False

    def test_default_file_in_home_is_read_only_when_nothing_is_named(self, tmp_path, monkeypatch, clean_env):
        write_ini(clean_env / ".config/dravlen/dravlen.ini", "[ftp]\nhost = home.example\n")
        assert EnvConfig.init_configer().get("ftp", "host") == "home.example"
        other = write_ini(tmp_path / "other.ini", "[ftp]\nhost = named.example\n")
        monkeypatch.setenv("DRAVLEN_CONFIG", str(other))
        assert EnvConfig.init_configer().get("ftp", "host") == "named.example"

    def test_no_file_at_all_gives_environment_only(self, monkeypatch):
        assert EnvConfig.config_file() is None
        assert EnvConfig.init_configer().sections() == []
        monkeypatch.setenv("DRAVLEN_FTP_HOST", "env.example")
        assert ftp_settings("ftp").host == "env.example"

    def test_each_call_reads_afresh(self, tmp_path, monkeypatch):
        ini = write_ini(tmp_path / "a.ini", "[ftp]\nhost = one\n")
        monkeypatch.setenv("DRAVLEN_CONFIG", str(ini))
        assert ftp_settings("ftp").host == "one"
        write_ini(ini, "[ftp]\nhost = two\n")
        assert ftp_settings("ftp").host == "two"
        with EnvConfig.reading():  # one client's making: one reading, one value
            first = ftp_settings("ftp")
            write_ini(ini, "[ftp]\nhost = four\n")
            assert ftp_settings("ftp", require_host=False) is first
        assert ftp_settings("ftp").host == "four"
        monkeypatch.setenv("DRAVLEN_FTP_HOST", "three")
        assert ftp_settings("ftp").host == "three"

    def test_environment_names_map_to_sections(self, tmp_path, monkeypatch):
        ini = write_ini(tmp_path / "a.ini", "[Mirror]\nhost = m\n")
        monkeypatch.setenv("DRAVLEN_CONFIG", str(ini))
        monkeypatch.setenv("DRAVLEN_MIRROR_PORT", "2100")        # matches [Mirror]
        monkeypatch.setenv("DRAVLEN_FTP_BACKUP_HOST", "b")       # new [ftp_backup]
        monkeypatch.setenv("DRAVLEN_DEFAULT_TIMEOUT", "7")       # [DEFAULT], inherited
        monkeypatch.setenv("DRAVLEN_WERROR", "ON")               # no option part: ignored
        c = EnvConfig.init_configer()
        assert sorted(c.sections()) == ["Mirror", "ftp_backup"]
        assert c.getint("Mirror", "port") == 2100
        assert c.get("ftp_backup", "host") == "b"
        assert ftp_settings("ftp_backup").timeout == 7.0
        assert ftp_settings("Mirror").timeout == 7.0

    def test_percent_in_values_is_literal(self, tmp_path, monkeypatch):
        ini = write_ini(tmp_path / "a.ini", "[ftp]\nhost = h\npassword = 50%off%(x)s\n")
        monkeypatch.setenv("DRAVLEN_CONFIG", str(ini))
        assert ftp_settings("ftp").password == "50%off%(x)s"

    def test_nothing_is_read_at_import_or_when_paths_are_made(self, tmp_path):
        # A configuration that cannot be read must not matter until a client is made.
        env = {k: v for k, v in os.environ.items() if not k.upper().startswith("DRAVLEN_")}
        env["DRAVLEN_CONFIG"] = str(tmp_path / "missing.ini")
        code = (
            "import dravlen, dravlen.base, dravlen.config\n"
            "class P(dravlen.base.BasePath):\n"
            "    pass\n"
            "p = P('/a/b') / 'c'\n"
            "print(p.parent, p.name)\n"
        )
        done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert done.stdout.split() == ["/a/b", "c"]


class TestFTPSettings:
    def test_defaults(self, monkeypatch):
        monkeypatch.setenv("DRAVLEN_FTP_HOST", "h")
        s = ftp_settings("ftp")
        assert (s.host, s.port, s.user, s.password, s.timeout, s.pasv, s.encoding) == (
            "h", 21, "anonymous", "", 30.0, True, "utf-8")

    def test_all_options_from_a_file(self, tmp_path, monkeypatch):
        ini = write_ini(tmp_path / "a.ini", (
            "[srv]\nhost = 127.0.0.2\nport = 2121\nuser = u\npassword = p w\n"
            "timeout = 2.5\npasv = no\nencoding = latin-1\n"))
        monkeypatch.setenv("DRAVLEN_CONFIG", str(ini))
        s = ftp_settings("srv")
        assert (s.host, s.port, s.user, s.password, s.timeout, s.pasv, s.encoding) == (
            "127.0.0.2", 2121, "u", "p w", 2.5, False, "latin-1")

    def test_missing_host_is_a_clear_error_only_when_connecting(self, tmp_path, monkeypatch):
        ini = write_ini(tmp_path / "a.ini", "[ftp]\nport = 21\n")
        monkeypatch.setenv("DRAVLEN_CONFIG", str(ini))
        with pytest.raises(ConfigError) as info:
            ftp_settings("ftp")
        message = str(info.value)
        assert "[ftp]" in message and "host" in message
        assert str(ini) in message and "DRAVLEN_FTP_HOST" in message
        assert ftp_settings("ftp", require_host=False).host == ""

    @pytest.mark.parametrize("option, value, expected", [
        ("port", "abc", "integer"),
        ("port", "0", "1 to 65535"),
        ("port", "70000", "1 to 65535"),
        ("timeout", "soon", "number"),
        ("timeout", "-1", "positive"),
        ("timeout", "nan", "positive"),
        ("pasv", "maybe", "boolean"),
        ("encoding", "no-such-codec", "encoding"),
    ])
    def test_bad_values_name_section_option_and_source(self, monkeypatch, option, value, expected):
        monkeypatch.setenv("DRAVLEN_MIRROR_HOST", "h")
        monkeypatch.setenv(f"DRAVLEN_MIRROR_{option.upper()}", value)
        with pytest.raises(ConfigError) as info:
            ftp_settings("mirror")
        message = str(info.value)
        assert "[mirror]" in message and option in message and repr(value) in message
        assert f"DRAVLEN_MIRROR_{option.upper()}" in message and expected in message
        assert isinstance(info.value, ValueError)

    def test_parser_conversions_name_the_file(self, tmp_path, monkeypatch):
        # What a backend's _reset does with the parser itself.
        ini = write_ini(tmp_path / "a.ini", "[ftp]\npasv = sometimes\n")
        monkeypatch.setenv("DRAVLEN_CONFIG", str(ini))
        c = EnvConfig.init_configer()
        with pytest.raises(ConfigError, match=r"\[ftp\] pasv = 'sometimes' \(from .*a\.ini\)"):
            c.getboolean("ftp", "pasv")


class TestBadFiles:
    def test_named_file_missing(self, tmp_path, monkeypatch):
        monkeypatch.setenv("DRAVLEN_CONFIG", str(tmp_path / "nope.ini"))
        with pytest.raises(ConfigError, match="DRAVLEN_CONFIG.*nope.ini"):
            EnvConfig.init_configer()

    @pytest.mark.parametrize("text", ["host = outside any section\n", "[ftp]\nhost = a\nhost = b\n", "[ftp\n"])
    def test_malformed_ini(self, tmp_path, monkeypatch, text):
        ini = write_ini(tmp_path / "bad.ini", text)
        monkeypatch.setenv("DRAVLEN_CONFIG", str(ini))
        with pytest.raises(ConfigError, match="bad.ini"):
            EnvConfig.init_configer()

    def test_undecodable_file(self, tmp_path, monkeypatch):
        ini = tmp_path / "bin.ini"
        ini.write_bytes(b"[ftp]\nhost = \xff\xfe\n")
        monkeypatch.setenv("DRAVLEN_CONFIG", str(ini))
        with pytest.raises(ConfigError, match="bin.ini"):
            EnvConfig.init_configer()


class TestUnknownOptions:
    def test_misspelt_options_are_named_with_the_one_meant(self, tmp_path, monkeypatch):
        ini = write_ini(tmp_path / "a.ini", "[ftp]\nhost = h\npasswrod = hush\n")
        monkeypatch.setenv("DRAVLEN_CONFIG", str(ini))
        with pytest.raises(ConfigError, match=r"\[ftp\] has an unknown option 'passwrod' \(from .*a.ini\); did you mean 'password'\?") as caught:
            ftp_settings("ftp")
        assert "hush" not in str(caught.value)
        ini.write_text("[ftp]\nhost = h\n")
        monkeypatch.setenv("DRAVLEN_FTP_TIMEOT", "5")
        with pytest.raises(ConfigError, match=r"'timeot' \(from DRAVLEN_FTP_TIMEOT\); did you mean 'timeout'\?"):
            ftp_settings("ftp", require_host=False)  # what the client's maker reads
        monkeypatch.delenv("DRAVLEN_FTP_TIMEOT")
        monkeypatch.setenv("DRAVLEN_FTP_COLOUR", "blue")
        with pytest.raises(ConfigError, match=r"unknown option 'colour' .*\. Known options: host, port, user"):
            ftp_settings("ftp")

    def test_variables_of_sections_not_read_are_left_alone(self, tmp_path, monkeypatch):
        # The build, the test servers and other tools set DRAVLEN_* names of their own.
        for name, value in {"DRAVLEN_SERVER_CACHE": "/tmp/x", "DRAVLEN_WERROR": "ON",
                            "DRAVLEN_FAILURES": "3", "DRAVLEN_OTHER_PASSWROD": "x"}.items():
            monkeypatch.setenv(name, value)
        monkeypatch.setenv("DRAVLEN_FTP_HOST", "h")
        assert ftp_settings("ftp").host == "h"
        with pytest.raises(ConfigError, match="'passwrod'"):
            ftp_settings("other")

    def test_tls_options(self, tmp_path, monkeypatch):
        ca = write_ini(tmp_path / "ca.pem", "not read until a client is made\n")
        ini = write_ini(tmp_path / "a.ini", f"[ftp]\nhost = h\ntls = yes\nverify = off\ncafile = {ca}\n")
        monkeypatch.setenv("DRAVLEN_CONFIG", str(ini))
        s = ftp_settings("ftp")
        assert (s.tls, s.verify, s.cafile, s.where) == (True, False, str(ca), "ftps://anonymous@h:21")
        monkeypatch.setenv("DRAVLEN_FTP_CAFILE", str(tmp_path / "missing.pem"))
        with pytest.raises(ConfigError, match=r"cafile = .*missing.pem' \(from DRAVLEN_FTP_CAFILE\): expected a file"):
            ftp_settings("ftp")
