"""OpenSSL's pkcs11 engine (libp11, Debian's libengine-pkcs11-openssl) on a
PKCS #11 module: the configuration that loads it, for the tests that drive
openssl through the engine."""
import os

ENGINE = "/usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so"


def installed():
    return os.path.exists(ENGINE)


def config_text(module, pin=None, extra=""):
    """An openssl.cnf that loads the engine on module (with the user PIN when
    given); extra is appended (further sections)."""
    return ("openssl_conf = openssl_init\n[openssl_init]\nengines = engine_section\n"
            "[engine_section]\npkcs11 = pkcs11_section\n[pkcs11_section]\nengine_id = pkcs11\n"
            "dynamic_path = %s\nMODULE_PATH = %s\n%sinit = 1\n%s"
            % (ENGINE, module, "PIN = %s\n" % pin if pin is not None else "", extra))


def environment(conf_path, module, pin=None, extra=""):
    """Writes the configuration to conf_path; the environment that makes
    openssl read it."""
    with open(conf_path, "w") as f:
        f.write(config_text(module, pin, extra))
    return dict(os.environ, OPENSSL_CONF=conf_path)
