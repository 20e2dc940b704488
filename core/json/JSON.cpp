#include "core/json/JSON.h"

#include "core/json/JSONParser.h"
#include "platform/text/NumberText.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <ostream>
#include <system_error>

namespace velmo {

namespace {

using nlohmann::json;

const json& nullNode() {
    static const json node;
    return node;
}

const json& emptyArrayNode() {
    static const json node = json::array();
    return node;
}

JSONError makeError(int code, std::string message) {
    return JSONError{std::string(kJSONErrorDomain), code, std::move(message)};
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

JSONNumber numberOf(const json& node) {
    switch (node.type()) {
        case json::value_t::number_integer: return node.get<std::int64_t>();
        case json::value_t::number_unsigned: return node.get<std::uint64_t>();
        case json::value_t::number_float: return node.get<double>();
        default: return {};
    }
}

// One step into a container, or nullptr when the step does not lead to an existing entry.
template <class Node>
Node* stepInto(Node& container, const JSONPathItem& step) {
    if (step.isIndex()) {
        if (!container.is_array() || step.index() < 0 || static_cast<std::uint64_t>(step.index()) >= container.size())
            return nullptr;
        return &container[static_cast<std::size_t>(step.index())];
    }
    if (!container.is_object())
        return nullptr;
    auto it = container.find(step.key());
    return it == container.end() ? nullptr : &it.value();
}

bool canStore(const json& container, const JSONPathItem& step) {
    if (step.isIndex())
        return container.is_array() && step.index() >= 0 && static_cast<std::uint64_t>(step.index()) < container.size();
    return container.is_object();
}

// Whether the serialiser accepts every node of the tree as JSON (no NaN, infinity, binary).
bool serialisable(const json& root) {
    std::vector<const json*> pending{&root};
    while (!pending.empty()) {
        const json* node = pending.back();
        pending.pop_back();
        switch (node->type()) {
            case json::value_t::number_float:
                if (!std::isfinite(node->get<double>()))
                    return false;
                break;
            case json::value_t::binary:
            case json::value_t::discarded: return false;
            case json::value_t::array:
            case json::value_t::object:
                for (const json& child : *node)
                    pending.push_back(&child);
                break;
            default: break;
        }
    }
    return true;
}

// Whether this value alone holds the tree, so it may change it in place. The acquire
// fence orders our writes after the reads of any other thread that just released its share.
bool soleOwner(const std::shared_ptr<json>& root) {
    if (!root || root.use_count() != 1)
        return false;
    std::atomic_thread_fence(std::memory_order_acquire);
    return true;
}

}  // namespace

// --- JSONError, JSONNumber ----------------------------------------------------------

std::ostream& operator<<(std::ostream& out, const JSONError& error) {
    return out << error.domain << ' ' << error.code << ": " << error.message;
}

std::int64_t JSONNumber::toInt64() const {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    if (const auto* i = std::get_if<std::int64_t>(&v_))
        return *i;
    if (const auto* u = std::get_if<std::uint64_t>(&v_))
        return *u > static_cast<std::uint64_t>(kMax) ? kMax : static_cast<std::int64_t>(*u);
    const double d = std::get<double>(v_);
    if (std::isnan(d))
        return 0;
    if (d >= 9223372036854775808.0)  // 2^63, the first double beyond int64
        return kMax;
    if (d < -9223372036854775808.0)
        return kMin;
    return static_cast<std::int64_t>(d);  // truncates toward zero
}

double JSONNumber::toDouble() const {
    return std::visit([](auto value) { return static_cast<double>(value); }, v_);
}

std::string JSONNumber::text() const {
    if (const auto* i = std::get_if<std::int64_t>(&v_))
        return std::to_string(*i);
    if (const auto* u = std::get_if<std::uint64_t>(&v_))
        return std::to_string(*u);
    return shortestText(std::get<double>(v_));
}

nlohmann::json JSONNumber::plain() const {
    return std::visit([](auto value) { return nlohmann::json(value); }, v_);
}

bool operator==(const JSONNumber& a, const JSONNumber& b) {
    return std::visit(
        [](auto x, auto y) {
            if constexpr (std::is_integral_v<decltype(x)> && std::is_integral_v<decltype(y)>)
                return std::cmp_equal(x, y);
            else
                return static_cast<double>(x) == static_cast<double>(y);
        },
        a.v_, b.v_);
}

std::optional<JSONNumber> JSONNumber::fromText(std::string_view text) {
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    bool plus = false;
    if (!text.empty() && text.front() == '+') {
        plus = true;
        text.remove_prefix(1);
    }
    const bool minus = !text.empty() && text.front() == '-';
    if (plus && minus)
        return std::nullopt;
    const std::string_view digits = text.substr(minus ? 1 : 0);
    // from_chars would also take "inf" and "nan"; a decimal number starts with a digit or '.'.
    if (digits.empty() || !(isDigit(digits.front()) || digits.front() == '.'))
        return std::nullopt;

    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (std::all_of(digits.begin(), digits.end(), isDigit)) {
        std::int64_t signedValue = 0;
        if (auto r = std::from_chars(first, last, signedValue); r.ec == std::errc{} && r.ptr == last)
            return JSONNumber(signedValue);
        std::uint64_t unsignedValue = 0;
        if (!minus) {
            if (auto r = std::from_chars(first, last, unsignedValue); r.ec == std::errc{} && r.ptr == last)
                return JSONNumber(unsignedValue);
        }
    }
    const std::optional<DecimalNumber> decimal = readDecimal(text);
    if (!decimal || !decimal->inRange)
        return std::nullopt;
    return JSONNumber(decimal->value);
}

std::ostream& operator<<(std::ostream& out, const JSONNumber& number) { return out << number.text(); }

// --- Construction -------------------------------------------------------------------

JSON::JSON() : node_(&nullNode()) {}

JSON::JSON(std::shared_ptr<nlohmann::json> root, const nlohmann::json* node) : root_(std::move(root)), node_(node) {
    classify();
}

JSON::JSON(nlohmann::json plain) : node_(&nullNode()) { setObject(std::move(plain)); }

JSON::JSON(bool flag) : JSON(nlohmann::json(flag)) {}
JSON::JSON(const char* text) : JSON(text ? nlohmann::json(text) : nlohmann::json()) {}
JSON::JSON(std::string text) : JSON(nlohmann::json(std::move(text))) {}
JSON::JSON(std::string_view text) : JSON(nlohmann::json(text)) {}
JSON::JSON(double number) : JSON(nlohmann::json(number)) {}
JSON::JSON(float number) : JSON(widenAsWritten(number)) {}
JSON::JSON(JSONNumber number) : JSON(number.plain()) {}

JSON::JSON(const Array& elements) : node_(&nullNode()) {
    nlohmann::json plain = nlohmann::json::array();
    for (const JSON& element : elements)
        plain.push_back(element.object());
    setObject(std::move(plain));
}

JSON::JSON(const Dictionary& members) : node_(&nullNode()) {
    nlohmann::json plain = nlohmann::json::object();
    for (const auto& [key, value] : members)
        plain[key] = value.object();
    setObject(std::move(plain));
}

JSON::JSON(std::initializer_list<std::pair<const std::string, JSON>> members) : node_(&nullNode()) {
    nlohmann::json plain = nlohmann::json::object();
    for (const auto& [key, value] : members)
        plain[key] = value.object();
    setObject(std::move(plain));
}

JSON JSON::parse(std::string_view bytes, ReadingOptions options) {
    try {
        std::optional<nlohmann::json> parsed = parseJSONDocument(bytes, kMaxNesting);
        if (!parsed || (!options.allowFragments && !parsed->is_structured()))
            return JSON();
        auto root = std::make_shared<nlohmann::json>(std::move(*parsed));
        const nlohmann::json* node = root.get();
        return JSON(std::move(root), node);
    } catch (const std::exception&) {
        return JSON();  // parsing never fails; not even out of memory on a huge body
    }
}

JSON JSON::parse(std::span<const std::uint8_t> bytes, ReadingOptions options) {
    return parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), options);
}

JSON JSON::failure(JSONError error) {
    JSON result;
    result.error_ = std::move(error);
    return result;
}

void JSON::classify() {
    error_.reset();
    switch (node_->type()) {
        case nlohmann::json::value_t::null: type_ = Type::null; break;
        case nlohmann::json::value_t::object: type_ = Type::dictionary; break;
        case nlohmann::json::value_t::array: type_ = Type::array; break;
        case nlohmann::json::value_t::string: type_ = Type::string; break;
        case nlohmann::json::value_t::boolean: type_ = Type::boolean; break;
        case nlohmann::json::value_t::number_integer:
        case nlohmann::json::value_t::number_unsigned:
        case nlohmann::json::value_t::number_float: type_ = Type::number; break;
        default:  // binary, discarded
            type_ = Type::unknown;
            error_ = makeError(ErrorUnsupportedType, "It is a unsupported type");
            break;
    }
}

// --- Reading ------------------------------------------------------------------------

nlohmann::json JSON::object() const { return type_ == Type::unknown ? nlohmann::json() : *node_; }

void JSON::setObject(nlohmann::json plain) {
    root_ = std::make_shared<nlohmann::json>(std::move(plain));
    node_ = root_.get();
    classify();
}

nlohmann::json JSON::takeObject() && {
    nlohmann::json plain;
    if (type_ != Type::unknown) {
        if (soleOwner(root_) && node_ == root_.get())
            plain = std::move(*root_);
        else
            plain = *node_;
    }
    *this = JSON();
    return plain;
}

nlohmann::json& JSON::ownNode() {
    if (!soleOwner(root_) || node_ != root_.get()) {
        root_ = std::make_shared<nlohmann::json>(*node_);
        node_ = root_.get();
    }
    return *root_;
}

JSON JSON::element(std::int64_t index) const {
    if (type_ == Type::array) {
        if (index >= 0 && static_cast<std::uint64_t>(index) < node_->size())
            return wrap((*node_)[static_cast<std::size_t>(index)]);
        return failure(makeError(ErrorIndexOutOfBounds, "Array[" + std::to_string(index) + "] is out of bounds"));
    }
    if (error_)
        return failure(*error_);
    return failure(makeError(ErrorWrongType, "Array[" + std::to_string(index) + "] failure, It is not an array"));
}

JSON JSON::member(std::string_view key) const {
    if (type_ == Type::dictionary) {
        const auto it = node_->find(key);
        if (it != node_->end())
            return wrap(*it);
        return failure(makeError(ErrorNotExist, "Dictionary[\"" + std::string(key) + "\"] does not exist"));
    }
    if (error_)
        return failure(*error_);
    return failure(
        makeError(ErrorWrongType, "Dictionary[\"" + std::string(key) + "\"] failure, It is not an dictionary"));
}

JSON JSON::operator[](std::initializer_list<JSONPathItem> path) const {
    return (*this)[std::span(path.begin(), path.size())];
}

JSON JSON::operator[](std::span<const JSONPathItem> path) const {
    JSON current = *this;
    for (const JSONPathItem& step : path)
        current = step.isIndex() ? current.element(step.index()) : current.member(step.key());
    return current;
}

std::optional<std::string> JSON::string() const {
    if (type_ != Type::string)
        return std::nullopt;
    return node_->get<std::string>();
}

std::optional<bool> JSON::boolean() const {
    if (type_ != Type::boolean)
        return std::nullopt;
    return node_->get<bool>();
}

std::optional<JSONNumber> JSON::number() const {
    if (type_ == Type::number)
        return numberOf(*node_);
    if (type_ == Type::boolean)
        return JSONNumber(node_->get<bool>() ? 1 : 0);
    return std::nullopt;
}

std::optional<std::int64_t> JSON::integer() const {
    if (auto n = number())
        return n->toInt64();
    return std::nullopt;
}

std::optional<double> JSON::double_() const {
    if (auto n = number())
        return n->toDouble();
    return std::nullopt;
}

std::optional<JSON::Array> JSON::array() const {
    if (type_ != Type::array)
        return std::nullopt;
    Array elements;
    elements.reserve(node_->size());
    for (const nlohmann::json& element : *node_)
        elements.push_back(wrap(element));
    return elements;
}

std::optional<JSON::Dictionary> JSON::dictionary() const {
    if (type_ != Type::dictionary)
        return std::nullopt;
    Dictionary members;
    for (auto it = node_->begin(); it != node_->end(); ++it)
        members.emplace_hint(members.end(), it.key(), wrap(it.value()));
    return members;
}

std::string JSON::stringValue() const {
    switch (type_) {
        case Type::string: return node_->get<std::string>();
        case Type::number: return numberOf(*node_).text();
        case Type::boolean: return node_->get<bool>() ? "true" : "false";
        default: return {};
    }
}

bool JSON::boolValue() const {
    switch (type_) {
        case Type::boolean: return node_->get<bool>();
        case Type::number: return !(numberOf(*node_) == JSONNumber(0));
        case Type::string: {
            const auto& text = node_->get_ref<const std::string&>();
            constexpr std::string_view kTrue = "true";
            return text.size() == kTrue.size() &&
                   std::equal(text.begin(), text.end(), kTrue.begin(), [](char a, char b) { return lower(a) == b; });
        }
        default: return false;
    }
}

JSONNumber JSON::numberValue() const {
    switch (type_) {
        case Type::number: return numberOf(*node_);
        case Type::boolean: return JSONNumber(node_->get<bool>() ? 1 : 0);
        case Type::string: return JSONNumber::fromText(node_->get_ref<const std::string&>()).value_or(JSONNumber(0));
        default: return JSONNumber(0.0);
    }
}

std::size_t JSON::count() const { return (type_ == Type::array || type_ == Type::dictionary) ? node_->size() : 0; }

// --- Writing ------------------------------------------------------------------------

bool JSON::set(std::string_view key, JSON value) {
    const JSONPathItem step(key);
    return set(std::span(&step, 1), std::move(value));
}

bool JSON::set(std::initializer_list<JSONPathItem> path, JSON value) {
    return set(std::span(path.begin(), path.size()), std::move(value));
}

bool JSON::set(std::span<const JSONPathItem> path, JSON value) {
    if (path.empty())
        return false;
    // Find out first whether the path leads anywhere, so a failed assignment copies nothing.
    const nlohmann::json* target = node_;
    for (std::size_t i = 0; i + 1 < path.size() && target; ++i)
        target = stepInto(*target, path[i]);
    if (!target || !canStore(*target, path.back()))
        return false;

    nlohmann::json plain = std::move(value).takeObject();
    nlohmann::json* container = &ownNode();
    for (std::size_t i = 0; i + 1 < path.size(); ++i)
        container = stepInto(*container, path[i]);
    const JSONPathItem& last = path.back();
    if (last.isIndex())
        (*container)[static_cast<std::size_t>(last.index())] = std::move(plain);
    else
        (*container)[last.key()] = std::move(plain);
    return true;
}

// --- Serialisation ------------------------------------------------------------------

JSON::RawData JSON::rawData(WritingOptions options) const {
    if (type_ == Type::unknown || !node_->is_structured() || !serialisable(*node_))
        return RawData{std::nullopt, makeError(ErrorInvalidJSON, "JSON is invalid")};
    try {
        return RawData{node_->dump(options.prettyPrinted ? 2 : -1), std::nullopt};
    } catch (const nlohmann::json::exception& e) {
        return RawData{std::nullopt, JSONError{"nlohmann::json", e.id, e.what()}};
    }
}

// --- Iteration ----------------------------------------------------------------------

JSON::const_iterator::const_iterator(std::shared_ptr<nlohmann::json> root, const nlohmann::json* container,
                                     nlohmann::json::const_iterator it)
    : root_(std::move(root)), container_(container), it_(it) {}

JSON::const_iterator::value_type JSON::const_iterator::operator*() const {
    std::string key = container_->is_array() ? std::to_string(index_) : it_.key();
    return {std::move(key), JSON(root_, &*it_)};
}

JSON::const_iterator& JSON::const_iterator::operator++() {
    ++it_;
    ++index_;
    return *this;
}

JSON::const_iterator JSON::const_iterator::operator++(int) {
    const_iterator before = *this;
    ++*this;
    return before;
}

bool operator==(const JSON::const_iterator& a, const JSON::const_iterator& b) {
    // nlohmann refuses to compare iterators of different containers; they are unequal.
    if (a.container_ != b.container_)
        return false;
    return a.container_ == nullptr || a.it_ == b.it_;
}

JSON::const_iterator JSON::begin() const {
    if (type_ == Type::array || type_ == Type::dictionary)
        return const_iterator(root_, node_, node_->cbegin());
    return const_iterator(nullptr, &emptyArrayNode(), emptyArrayNode().cbegin());
}

JSON::const_iterator JSON::end() const {
    if (type_ == Type::array || type_ == Type::dictionary)
        return const_iterator(root_, node_, node_->cend());
    return const_iterator(nullptr, &emptyArrayNode(), emptyArrayNode().cend());
}

std::ostream& operator<<(std::ostream& out, JSON::Type type) {
    switch (type) {
        case JSON::Type::number: return out << "number";
        case JSON::Type::string: return out << "string";
        case JSON::Type::boolean: return out << "bool";
        case JSON::Type::array: return out << "array";
        case JSON::Type::dictionary: return out << "dictionary";
        case JSON::Type::null: return out << "null";
        case JSON::Type::unknown: return out << "unknown";
    }
    return out << static_cast<int>(type);
}

}  // namespace velmo
