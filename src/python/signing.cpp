// The `signing` module: Ed25519 signing keys, public keys and keyrings, the signed bytes of
// a receipt, signing receipts and checking their hash and signature. Signing and checking
// run with the interpreter lock released; every held object is immutable.
#include "python/signing.h"

#include <openssl/crypto.h>

#include <string>
#include <utility>

#include "engine/sign.h"
#include "python/convert.h"
#include "python/cpp_object.h"
#include "python/modules.h"
#include "python/py_receipt.h"
#include "python/released_lock.h"

namespace quillmere::python {
namespace {

using SigningKeyObject = CppObject<SigningKey>;
using PublicKeyObject = CppObject<PublicKey>;
using KeyringObject = CppObject<Keyring>;

extern LazyType g_signing_key_type;
extern LazyType g_public_key_type;
extern LazyType g_keyring_type;

// How much of a key id a repr shows; the whole id is the `kid` attribute.
constexpr size_t kShownKidLength = 16;

std::string_view text_of(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

template <class T>
PyObject* wrap(LazyType& type, T value) {
  PyTypeObject* type_object = type.get_type();
  if (type_object == nullptr) return nullptr;
  return CppObject<T>::create(type_object, std::move(value));
}

PyObject* key_repr(const char* what, const std::string& kid) {
  return new_str(std::string("<") + what + " ed25519 kid=" + kid.substr(0, kShownKidLength) +
                 "...>");
}

#define QM_KEYS_MADE_BY                                                                         \
  " objects come from the module functions (generate_signing_key_py, signing_key_from_pem_py, " \
  "public_key_from_pem_py)"
constexpr char kSigningKeyMadeBy[] = "signing.SigningKey" QM_KEYS_MADE_BY;
constexpr char kPublicKeyMadeBy[] = "signing.PublicKey" QM_KEYS_MADE_BY;
#undef QM_KEYS_MADE_BY

// A public key argument: a PublicKey, or a SigningKey standing for its public half.
const PublicKey* convert_public_key(PyObject* obj, const char* arg) {
  if (g_signing_key_type.has_instance(obj)) return &SigningKeyObject::value(obj).public_key();
  return PublicKeyObject::argument(obj, g_public_key_type, arg, "PublicKey");
}

// --- SigningKey ---------------------------------------------------------------------------

const SigningKey& signing_key(PyObject* self) {
  return SigningKeyObject::value(self);
}

PyObject* signing_key_kid(PyObject* self, void*) {
  return new_str(signing_key(self).kid());
}
PyObject* signing_key_public(PyObject* self, void*) {
  return guarded([&] { return wrap(g_public_key_type, signing_key(self).public_key()); });
}
PyObject* signing_key_repr(PyObject* self) {
  return guarded([&] { return key_repr("SigningKey", signing_key(self).kid()); });
}

PyObject* signing_key_sign(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"message", nullptr};
  PyObject* message_arg = nullptr;
  if (!parse_args(args, kwargs, "O:sign", kNames, &message_arg)) return nullptr;
  std::span<const uint8_t> message;
  if (!convert_bytes(message_arg, "message", message)) return nullptr;
  const SigningKey& key = signing_key(self);
  auto signature = without_gil([&] { return key.sign(message); });
  if (!signature) return raise_value_error(ErrorFamily::Signature, signature.error().display());
  return new_bytes(*signature);
}

PyObject* signing_key_private_pem(PyObject* self) {
  std::string pem = signing_key(self).private_pem();
  if (pem.empty()) return raise_value_error(ErrorFamily::Signature, "cannot write the private key");
  PyObject* result = new_bytes(pem);
  OPENSSL_cleanse(pem.data(), pem.size());
  return result;
}

DefTable kSigningKeyMethods{
    method_def<signing_key_sign>("sign",
                                 "sign($self, /, message)\n--\n\n"
                                 "The 64-byte Ed25519 signature of `message` (bytes)."),
    method_def<signing_key_private_pem>(
        "private_key_pem",
        "private_key_pem($self, /)\n--\n\n"
        "The private key as unencrypted PKCS#8 PEM bytes. Secret: for writing a key file with\n"
        "owner-only permissions, nothing else."),
};

DefTable kSigningKeyGetters{
    getter_def("kid", signing_key_kid,
               "Key id: lowercase hex SHA-256 of the DER SubjectPublicKeyInfo of the public key."),
    getter_def("public_key", signing_key_public, "The public half (a PublicKey)."),
};

PyType_Slot kSigningKeySlots[] = {
    {Py_tp_doc, const_cast<char*>("An Ed25519 private key. Its repr shows the key id only.")},
    {Py_tp_new, refuse_construction_slot<kSigningKeyMadeBy>()},
    {Py_tp_dealloc, SigningKeyObject::dealloc_slot()},
    {Py_tp_methods, kSigningKeyMethods},
    {Py_tp_getset, kSigningKeyGetters},
    {Py_tp_repr, reinterpret_cast<void*>(&signing_key_repr)},
    {0, nullptr},
};

PyType_Spec kSigningKeySpec = {"signing.SigningKey", SigningKeyObject::kBasicSize, 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSigningKeySlots};
LazyType g_signing_key_type{&kSigningKeySpec};

// --- PublicKey ----------------------------------------------------------------------------

const PublicKey& public_key(PyObject* self) {
  return PublicKeyObject::value(self);
}

PyObject* public_key_kid(PyObject* self, void*) {
  return new_str(public_key(self).kid());
}
PyObject* public_key_raw(PyObject* self, void*) {
  return new_bytes(public_key(self).raw());
}
PyObject* public_key_repr(PyObject* self) {
  return guarded([&] { return key_repr("PublicKey", public_key(self).kid()); });
}

PyObject* public_key_pem(PyObject* self) {
  std::string pem = public_key(self).pem();
  if (pem.empty()) return raise_value_error(ErrorFamily::Signature, "cannot write the public key");
  return new_bytes(pem);
}

PyObject* public_key_verify(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"message", "signature", nullptr};
  PyObject* message_arg = nullptr;
  PyObject* signature_arg = nullptr;
  if (!parse_args(args, kwargs, "OO:verify", kNames, &message_arg, &signature_arg)) {
    return nullptr;
  }
  std::span<const uint8_t> message;
  std::span<const uint8_t> signature;
  if (!convert_bytes(message_arg, "message", message) ||
      !convert_bytes(signature_arg, "signature", signature)) {
    return nullptr;
  }
  const PublicKey& key = public_key(self);
  const bool valid = without_gil([&] { return key.verify(message, signature); });
  return PyBool_FromLong(valid ? 1 : 0);
}

Py_hash_t public_key_hash(PyObject* self) {
  const std::string& kid = public_key(self).kid();
  PyRef text = PyRef::steal(new_str(kid));
  return text ? PyObject_Hash(text.get()) : -1;
}

PyObject* public_key_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !g_public_key_type.has_instance(other)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  const bool equal = public_key(self).kid() == public_key(other).kid();
  return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
}

DefTable kPublicKeyMethods{
    method_def<public_key_verify>(
        "verify",
        "verify($self, /, message, signature)\n--\n\n"
        "True when `signature` (bytes) is a valid Ed25519 signature of `message` by this key."),
    method_def<public_key_pem>(
        "pem",
        "pem($self, /)\n--\n\nThe key as PEM SubjectPublicKeyInfo bytes (\"BEGIN PUBLIC KEY\")."),
};

DefTable kPublicKeyGetters{
    getter_def("kid", public_key_kid,
               "Key id: lowercase hex SHA-256 of the key's DER SubjectPublicKeyInfo."),
    getter_def("raw", public_key_raw, "The 32 raw key bytes of RFC 8032."),
};

PyType_Slot kPublicKeySlots[] = {
    {Py_tp_doc, const_cast<char*>("An Ed25519 public key; equal keys have equal key ids.")},
    {Py_tp_new, refuse_construction_slot<kPublicKeyMadeBy>()},
    {Py_tp_dealloc, PublicKeyObject::dealloc_slot()},
    {Py_tp_methods, kPublicKeyMethods},
    {Py_tp_getset, kPublicKeyGetters},
    {Py_tp_repr, reinterpret_cast<void*>(&public_key_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(&public_key_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&public_key_richcompare)},
    {0, nullptr},
};

PyType_Spec kPublicKeySpec = {"signing.PublicKey", PublicKeyObject::kBasicSize, 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kPublicKeySlots};
LazyType g_public_key_type{&kPublicKeySpec};

// --- Keyring ------------------------------------------------------------------------------

const Keyring& keyring(PyObject* self) {
  return KeyringObject::value(self);
}

PyObject* keyring_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"keys", nullptr};
    PyObject* keys_arg = nullptr;
    if (!parse_args(args, kwargs, "|O:Keyring", kNames, &keys_arg)) return nullptr;
    Keyring ring;
    if (!is_absent(keys_arg)) {
      PyRef iterator = PyRef::steal(PyObject_GetIter(keys_arg));
      if (!iterator) {
        prefix_argument_error("keys");
        return nullptr;
      }
      while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        const PublicKey* key = convert_public_key(item.get(), "keys");
        if (key == nullptr) return nullptr;
        ring.add(*key);
      }
      if (PyErr_Occurred()) return nullptr;
    }
    return KeyringObject::create(type, std::move(ring));
  });
}

Py_ssize_t keyring_len(PyObject* self) {
  return static_cast<Py_ssize_t>(keyring(self).size());
}

int keyring_contains(PyObject* self, PyObject* kid) {
  if (!PyUnicode_Check(kid)) return 0;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(kid, &size);
  if (text == nullptr) return -1;
  return keyring(self).find(std::string_view(text, static_cast<size_t>(size))) != nullptr;
}

PyObject* keyring_kids(PyObject* self) {
  const std::vector<std::string> kids = keyring(self).kids();
  return new_list(kids.size(), [&](size_t i) { return new_str(kids[i]); });
}

PyObject* keyring_get(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"kid", nullptr};
  PyObject* kid_arg = nullptr;
  if (!parse_args(args, kwargs, "O:get", kNames, &kid_arg)) return nullptr;
  std::string_view kid;
  if (!convert_str(kid_arg, "kid", kid)) return nullptr;
  const PublicKey* key = keyring(self).find(kid);
  if (key == nullptr) Py_RETURN_NONE;
  return wrap(g_public_key_type, *key);
}

PyObject* keyring_repr(PyObject* self) {
  return guarded([&] {
    const size_t n = keyring(self).size();
    return new_str("<Keyring " + std::to_string(n) + (n == 1 ? " key>" : " keys>"));
  });
}

DefTable kKeyringMethods{
    method_def<keyring_kids>("kids", "kids($self, /)\n--\n\nThe key ids held, in ascending order."),
    method_def<keyring_get>(
        "get", "get($self, /, kid)\n--\n\nThe PublicKey whose key id is `kid`, or None."),
};

PyType_Slot kKeyringSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("Keyring(keys=())\n--\n\n"
                       "Trusted Ed25519 public keys by key id, fixed at construction. `keys` is\n"
                       "an iterable of PublicKey (a SigningKey stands for its public half).\n"
                       "len(ring), `kid in ring`.")},
    {Py_tp_new, reinterpret_cast<void*>(&keyring_new)},
    {Py_tp_dealloc, KeyringObject::dealloc_slot()},
    {Py_tp_methods, kKeyringMethods},
    {Py_tp_repr, reinterpret_cast<void*>(&keyring_repr)},
    {Py_sq_length, reinterpret_cast<void*>(&keyring_len)},
    {Py_sq_contains, reinterpret_cast<void*>(&keyring_contains)},
    {0, nullptr},
};

PyType_Spec kKeyringSpec = {"signing.Keyring", KeyringObject::kBasicSize, 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kKeyringSlots};
LazyType g_keyring_type{&kKeyringSpec};

// --- module functions ---------------------------------------------------------------------

PyObject* generate_signing_key_py(PyObject*) {
  auto key = SigningKey::generate();
  if (!key) return raise_value_error(ErrorFamily::Signature, key.error().display());
  return wrap(g_signing_key_type, std::move(*key));
}

PyObject* signing_key_from_pem_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"pem", nullptr};
  PyObject* pem_arg = nullptr;
  if (!parse_args(args, kwargs, "O:signing_key_from_pem_py", kNames, &pem_arg)) return nullptr;
  std::span<const uint8_t> pem;
  if (!convert_bytes(pem_arg, "pem", pem)) return nullptr;
  auto key = SigningKey::from_pem(text_of(pem));
  if (!key) return raise_value_error(ErrorFamily::Signature, key.error().display());
  return wrap(g_signing_key_type, std::move(*key));
}

PyObject* public_key_from_pem_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"pem", nullptr};
  PyObject* pem_arg = nullptr;
  if (!parse_args(args, kwargs, "O:public_key_from_pem_py", kNames, &pem_arg)) return nullptr;
  std::span<const uint8_t> pem;
  if (!convert_bytes(pem_arg, "pem", pem)) return nullptr;
  auto key = PublicKey::from_pem(text_of(pem));
  if (!key) return raise_value_error(ErrorFamily::Signature, key.error().display());
  return wrap(g_public_key_type, std::move(*key));
}

PyObject* signed_message_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"receipt", nullptr};
  PyObject* receipt_arg = nullptr;
  if (!parse_args(args, kwargs, "O:signed_message_py", kNames, &receipt_arg)) return nullptr;
  const Receipt* receipt = convert_receipt(receipt_arg, "receipt");
  if (receipt == nullptr) return nullptr;
  return new_bytes(signed_message(receipt->hash));
}

PyObject* sign_receipt_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"receipt", "key", "replace", nullptr};
  PyObject* receipt_arg = nullptr;
  PyObject* key_arg = nullptr;
  int replace = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$p:sign_receipt_py",
                                   const_cast<char**>(kNames), &receipt_arg, &key_arg, &replace)) {
    return nullptr;
  }
  const Receipt* receipt = convert_receipt(receipt_arg, "receipt");
  if (receipt == nullptr) return nullptr;
  const SigningKey* key =
      SigningKeyObject::argument(key_arg, g_signing_key_type, "key", "SigningKey");
  if (key == nullptr) return nullptr;
  // A signed receipt that is to keep its signature is given back as it is (it is immutable).
  if (!replace && receipt->sig) return PyRef::borrow(receipt_arg).release();
  auto signed_receipt = without_gil([&] { return sign_receipt(*receipt, *key); });
  if (!signed_receipt) return raise_value_error(ErrorFamily::Signature, signed_receipt.error());
  return wrap_receipt(std::move(*signed_receipt));
}

PyObject* optional_text(const std::string& text) {
  if (text.empty()) Py_RETURN_NONE;
  return new_str(text);
}

PyObject* check_receipt_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"receipt", "keyring", nullptr};
  PyObject* receipt_arg = nullptr;
  PyObject* keyring_arg = nullptr;
  if (!parse_args(args, kwargs, "O|O:check_receipt_py", kNames, &receipt_arg, &keyring_arg)) {
    return nullptr;
  }
  const Receipt* receipt = convert_receipt(receipt_arg, "receipt");
  if (receipt == nullptr) return nullptr;
  const Keyring* ring = nullptr;
  if (!is_absent(keyring_arg) &&
      (ring = KeyringObject::argument(keyring_arg, g_keyring_type, "keyring", "Keyring")) ==
          nullptr) {
    return nullptr;
  }
  const ReceiptCheck check = without_gil([&] { return check_receipt(*receipt, ring); });
  PyRef hash_problem = PyRef::steal(optional_text(check.hash_problem));
  PyRef signature_problem = PyRef::steal(optional_text(check.signature_problem));
  PyRef kid = receipt->sig ? PyRef::steal(new_str(receipt->sig->kid)) : PyRef::borrow(Py_None);
  if (!hash_problem || !signature_problem || !kid) return nullptr;
  const std::string_view hash_status = status_name(check.hash);
  const std::string_view signature_status = status_name(check.signature);
  return Py_BuildValue("(s#Os#OO)", hash_status.data(), static_cast<Py_ssize_t>(hash_status.size()),
                       hash_problem.get(), signature_status.data(),
                       static_cast<Py_ssize_t>(signature_status.size()), signature_problem.get(),
                       kid.get());
}

DefTable kSigningFunctions{
    method_def<generate_signing_key_py>(
        "generate_signing_key_py",
        "generate_signing_key_py()\n--\n\n"
        "A new Ed25519 SigningKey from OpenSSL's random generator."),
    method_def<signing_key_from_pem_py>(
        "signing_key_from_pem_py",
        "signing_key_from_pem_py(pem)\n--\n\n"
        "The SigningKey of unencrypted PEM bytes holding an Ed25519 private key (PKCS#8).\n\n"
        "Raises:\n    ValueError: the text holds no such key (the text is never quoted)"),
    method_def<public_key_from_pem_py>(
        "public_key_from_pem_py",
        "public_key_from_pem_py(pem)\n--\n\n"
        "The PublicKey of PEM bytes holding an Ed25519 SubjectPublicKeyInfo.\n\n"
        "Raises:\n    ValueError: the text holds no such key"),
    method_def<signed_message_py>(
        "signed_message_py",
        "signed_message_py(receipt)\n--\n\n"
        "The bytes a receipt signature covers: b\"quillmere/receipt-signature/v1\\n\" followed\n"
        "by the receipt's stored hash text (\"sha256:\" and 64 hex digits)."),
    method_def<sign_receipt_py>(
        "sign_receipt_py",
        "sign_receipt_py(receipt, key, *, replace=True)\n--\n\n"
        "A copy of `receipt` whose sig is {alg: \"ed25519\", kid: key.kid, sig: base64url of the\n"
        "signature of signed_message_py(receipt)}; the hash is unchanged. With replace=False a\n"
        "receipt that is signed already is returned itself, its signature kept.\n\n"
        "Raises:\n    ValueError: the stored hash is not the hash of the body"),
    method_def<check_receipt_py>(
        "check_receipt_py",
        "check_receipt_py(receipt, keyring=None)\n--\n\n"
        "(hash status, hash problem, signature status, signature problem, kid): the hash is\n"
        "recomputed and the rules run (\"valid\", \"mismatch\", \"invalid\"), then the signature "
        "is\n"
        "checked over the recomputed hash with the keyring's key for its kid (\"valid\",\n"
        "\"absent\", \"unknown_key\", \"bad\"). Problems are None when there is none."),
};

}  // namespace

bool fill_signing(PyObject* module) {
  PyObject* signing_key_type = g_signing_key_type.get();
  PyObject* public_key_type = signing_key_type == nullptr ? nullptr : g_public_key_type.get();
  PyObject* keyring_type = public_key_type == nullptr ? nullptr : g_keyring_type.get();
  return keyring_type != nullptr && add_to_module(module, "SigningKey", signing_key_type) &&
         add_to_module(module, "PublicKey", public_key_type) &&
         add_to_module(module, "Keyring", keyring_type) && add_functions(module, kSigningFunctions);
}

}  // namespace quillmere::python
