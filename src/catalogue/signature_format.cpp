// What a broken rule of a key file or of a signature file says.
#include "catalogue/signature_format.h"

const char* key_pem_rule_text(KeyPemRule rule) {
#define OFWU_RULE_TEXT(name, text) \
    case name: return text;
    switch (rule) {
        OFWU_KEY_PEM_RULES(OFWU_RULE_TEXT)
        case KEY_PEM_VALID: break;
    }
    return "";
}

const char* signature_der_rule_text(SignatureDerRule rule) {
    switch (rule) {
        OFWU_SIGNATURE_DER_RULES(OFWU_RULE_TEXT)
        case SIGNATURE_DER_VALID: break;
    }
    return "";
#undef OFWU_RULE_TEXT
}
