#include "kelp/nrepl/request.hpp"

#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/vector.hpp"

namespace kelp::nrepl {

std::string Request::str(std::string_view key) const {
  const Value* v = get(msg, make_string(key));
  return v && v->is(Kind::String) ? std::string(str_view(*v)) : std::string();
}

bool Request::has(std::string_view key) const { return get(msg, make_string(key)) != nullptr; }

Value response(const Request& req, std::initializer_list<Value> kvs) {
  std::vector<Value> all{make_string("id"), make_string(req.id)};
  if (!req.session.empty()) {
    all.push_back(make_string("session"));
    all.push_back(make_string(req.session));
  }
  all.insert(all.end(), kvs.begin(), kvs.end());
  return make_map(all);
}

Value statuses(std::initializer_list<std::string_view> words) {
  std::vector<Value> items;
  for (std::string_view w : words) items.push_back(make_string(w));
  return make_vector(items);
}

void send_status(const Request& req, std::initializer_list<std::string_view> words) {
  req.transport->send(response(req, {make_string("status"), statuses(words)}));
}

}  // namespace kelp::nrepl
