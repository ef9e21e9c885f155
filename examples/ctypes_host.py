"""A host in Python through ctypes, keeping the three rules of hosts in other languages:
answers freed with the C library's free, password texts that outlive the callback,
callbacks kept alive. Usage: ctypes_host.py <libvelno_core path> <home directory>"""
import ctypes
import json
import sys

lib = ctypes.CDLL(sys.argv[1])
libc = ctypes.CDLL(None)  # the process's C library: its free releases the answers
libc.free.argtypes = [ctypes.c_void_p]

PASSWORD_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_void_p)
LOG_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_uint32, ctypes.c_void_p)
text, handle_t = ctypes.c_char_p, ctypes.c_uint64
for name, argtypes in {
    "init_logging": [ctypes.c_uint32, LOG_CALLBACK],
    "set_velno_home_path": [text],
    "explain_error_code": [text],
    "create_agent": [text, text, PASSWORD_CALLBACK],
    "create_did": [handle_t, text],
    "list_dids": [handle_t],
    "sign_with_did": [handle_t, text, text],
    "verify_with_did_public_key": [handle_t, text, text, text],
    "change_password": [handle_t, PASSWORD_CALLBACK],
    "wallet_store_data": [handle_t, text, text],
    "wallet_get_data": [handle_t, text],
}.items():
    function = getattr(lib, name)
    function.argtypes = argtypes
    function.restype = ctypes.c_void_p  # not c_char_p: that copies the text and leaks the answer


def answer(pointer):
    """The envelope as a dict; the library's text is freed."""
    try:
        return json.loads(ctypes.string_at(pointer))
    finally:
        libc.free(pointer)


def value(pointer):
    envelope = answer(pointer)
    if envelope["code"] != "OK":
        sys.exit(f"unexpected answer {envelope}")
    return envelope.get("value")


# The texts the password callback answers live as long as the module: the library
# copies a text only after the callback has returned.
passwords = {"old": ctypes.create_string_buffer(b"correct horse"),
             "new": ctypes.create_string_buffer(b"battery staple")}
current = "old"


# Module-level callback objects: the library calls them for as long as the process runs.
@PASSWORD_CALLBACK
def agent_password():
    return ctypes.addressof(passwords[current])


@PASSWORD_CALLBACK
def new_password():
    return ctypes.addressof(passwords["new"])


@LOG_CALLBACK
def on_log(level, message):
    print(f"log {level}: {ctypes.string_at(message).decode()}", file=sys.stderr)
    libc.free(message)


value(lib.init_logging(3, on_log))
value(lib.set_velno_home_path(sys.argv[2].encode()))
handle = value(lib.create_agent(b"bob", None, agent_password))["handle"]
# The DID this host signs with: it keeps the id (list_dids answers in no order).
did = value(lib.create_did(handle, None))
signature = value(lib.sign_with_did(handle, did["id"].encode(), b"aGVsbG8="))
assert value(lib.verify_with_did_public_key(handle, did["publicKey"].encode(), b"aGVsbG8=",
                                            signature.encode())) is True
assert did in value(lib.list_dids(handle))

value(lib.change_password(handle, new_password))
current = "new"  # only once the change has answered OK
value(lib.wallet_store_data(handle, b"note", b"aGk="))
assert value(lib.wallet_get_data(handle, b"note")) == {"Ok": "aGk="}
print("ctypes host finished")
