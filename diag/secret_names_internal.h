// Which names hold a secret: one rule for what the logs hide and for the options that
// GetOption never reads back.
#pragma once

#include <string_view>

namespace norvale::diag {

/// Whether `name` (an option key, a connection-string key, a header or a JSON key; dotted and
/// dashed names included) holds a secret: it contains password, passwd, pwd, token, secret,
/// apikey, api_key, api-key, client_key, private_key, proxy_pass, credential or reservation in
/// any ASCII case, or "pass" is a whole part that ends it (proxy_pass, ProxyPass, x.pass) or
/// the whole name. "pass" inside a word (bypass, compass, passage) is not a secret.
bool secret_name(std::string_view name);

}  // namespace norvale::diag
