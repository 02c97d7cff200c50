/*
 * Parse types: binary and ASCII forms of control message arguments.
 */
#include "parse_type.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ngsim {
namespace parse {

namespace {

const Value kDefault;

bool
is_integer(Kind k)
{
	return k <= Kind::Hex32;
}

bool
is_signed(Kind k)
{
	return k == Kind::Int8 || k == Kind::Int16 || k == Kind::Int32 ||
	    k == Kind::Int64;
}

/* The integer field at dotted `path` in a value `v` of struct type `t`. */
Value *
find_count(const Type &t, Value &v, const char *path)
{
	const Type *cur = &t;
	Value *val = &v;
	for (;;) {
		const char *dot = strchr(path, '.');
		size_t n = dot != nullptr ? size_t(dot - path) : strlen(path);
		if (cur->kind != Kind::Struct)
			return nullptr;
		size_t i = 0;
		while (i < cur->nfields && (strncmp(cur->fields[i].name, path, n) != 0 ||
		    cur->fields[i].name[n] != '\0'))
			i++;
		if (i == cur->nfields)
			return nullptr;
		if (val->sub.size() < cur->nfields)
			val->sub.resize(cur->nfields);
		val = &val->sub[i];
		cur = cur->fields[i].type;
		if (dot == nullptr)
			return is_integer(cur->kind) ? val : nullptr;
		path = dot + 1;
	}
}

/* ---------------------------------------------------------------- binary */

uint64_t
load_int(const Type &t, const uint8_t *p)
{
	switch (t.kind) {
	case Kind::Int8:	{ int8_t x; memcpy(&x, p, 1); return uint64_t(int64_t(x)); }
	case Kind::Int16:	{ int16_t x; memcpy(&x, p, 2); return uint64_t(int64_t(x)); }
	case Kind::Int32:	{ int32_t x; memcpy(&x, p, 4); return uint64_t(int64_t(x)); }
	case Kind::UInt8:	return *p;
	case Kind::UInt16:	{ uint16_t x; memcpy(&x, p, 2); return x; }
	case Kind::UInt32:
	case Kind::Hex32:	{ uint32_t x; memcpy(&x, p, 4); return x; }
	default:		{ uint64_t x; memcpy(&x, p, 8); return x; }
	}
}

void
store_int(const Type &t, uint64_t v, uint8_t *p)
{
	/* Little and big endian alike: the value's low bytes, in host order. */
	switch (t.size) {
	case 1:		{ uint8_t x = uint8_t(v); memcpy(p, &x, 1); break; }
	case 2:		{ uint16_t x = uint16_t(v); memcpy(p, &x, 2); break; }
	case 4:		{ uint32_t x = uint32_t(v); memcpy(p, &x, 4); break; }
	default:	memcpy(p, &v, 8); break;
	}
}

int
decode_at(const Type &t, const uint8_t *p, size_t avail, Value &v,
    size_t &used, int depth)
{
	if (depth > kMaxDepth)
		return EINVAL;
	if (is_integer(t.kind)) {
		if (avail < t.size)
			return EINVAL;
		v.num = load_int(t, p);
		used = t.size;
		return 0;
	}
	switch (t.kind) {
	case Kind::FixedString: {
		if (avail < t.size)
			return EINVAL;
		const void *z = memchr(p, '\0', t.size);
		if (z == nullptr)
			return EINVAL;
		v.str.assign(reinterpret_cast<const char *>(p),
		    static_cast<const uint8_t *>(z) - p);
		used = t.size;
		return 0;
	}
	case Kind::String: {
		size_t lim = avail;
		if (t.maxlen != 0 && lim > t.maxlen)
			lim = t.maxlen;
		const void *z = memchr(p, '\0', lim);
		if (z == nullptr)
			return EINVAL;
		v.str.assign(reinterpret_cast<const char *>(p),
		    static_cast<const uint8_t *>(z) - p);
		used = v.str.size() + 1;
		return 0;
	}
	case Kind::EnAddr:
		if (avail < t.size)
			return EINVAL;
		v.str.assign(reinterpret_cast<const char *>(p), t.size);
		used = t.size;
		return 0;
	case Kind::Struct:
		if (avail < t.size)
			return EINVAL;
		v.sub.assign(t.nfields, Value());
		used = t.size;
		for (size_t i = 0; i < t.nfields; i++) {
			const Field &f = t.fields[i];
			size_t u;
			if (f.type->kind != Kind::VarArray) {
				int e = decode_at(*f.type, p + f.offset, f.type->size,
				    v.sub[i], u, depth + 1);
				if (e != 0)
					return e;
				continue;
			}
			/* The count field lies before the array, so is known. */
			const Value *c = find_count(t, v, f.type->count_from);
			size_t es = f.type->elem->size;
			if (c == nullptr || es == 0 || f.offset > avail ||
			    c->num > (avail - f.offset) / es)
				return EINVAL;
			v.sub[i].sub.resize(c->num);
			for (size_t k = 0; k < c->num; k++) {
				int e = decode_at(*f.type->elem,
				    p + f.offset + k * es, es, v.sub[i].sub[k], u,
				    depth + 1);
				if (e != 0)
					return e;
			}
			used = f.offset + c->num * es;
		}
		return 0;
	case Kind::FixedArray: {
		if (avail < t.size)
			return EINVAL;
		size_t es = t.elem->size;
		v.sub.assign(t.count, Value());
		for (size_t k = 0; k < t.count; k++) {
			size_t u;
			int e = decode_at(*t.elem, p + k * es, es, v.sub[k], u,
			    depth + 1);
			if (e != 0)
				return e;
		}
		used = t.size;
		return 0;
	}
	default:
		/* A VarArray has no length of its own outside a struct. */
		return EINVAL;
	}
}

int
grow(std::vector<uint8_t> &out, size_t end)
{
	if (end > kMaxBinary)
		return EINVAL;
	if (out.size() < end)
		out.resize(end, 0);
	return 0;
}

int
encode_at(const Type &t, Value &v, std::vector<uint8_t> &out, size_t at,
    int depth)
{
	if (depth > kMaxDepth)
		return EINVAL;
	if (is_integer(t.kind)) {
		if (grow(out, at + t.size) != 0)
			return EINVAL;
		store_int(t, v.num, out.data() + at);
		return 0;
	}
	switch (t.kind) {
	case Kind::FixedString:
	case Kind::String: {
		size_t n = v.str.size() + 1;
		if (v.str.find('\0') != std::string::npos ||
		    (t.kind == Kind::FixedString && n > t.size) ||
		    (t.kind == Kind::String && t.maxlen != 0 && n > t.maxlen))
			return EINVAL;
		if (grow(out, at + (t.kind == Kind::String ? n : t.size)) != 0)
			return EINVAL;
		memcpy(out.data() + at, v.str.data(), v.str.size());
		return 0;
	}
	case Kind::EnAddr:
		if ((!v.str.empty() && v.str.size() != t.size) ||
		    grow(out, at + t.size) != 0)
			return EINVAL;
		memcpy(out.data() + at, v.str.data(), v.str.size());
		return 0;
	case Kind::Struct:
		if (v.sub.size() < t.nfields)
			v.sub.resize(t.nfields);
		/* An array is as long as its count says or its elements need. */
		for (size_t i = 0; i < t.nfields; i++) {
			const Field &f = t.fields[i];
			if (f.type->kind != Kind::VarArray)
				continue;
			Value *c = find_count(t, v, f.type->count_from);
			size_t es = f.type->elem->size;
			if (c == nullptr || es == 0 || f.offset > kMaxBinary)
				return EINVAL;
			uint64_t n = c->num;
			if (n < v.sub[i].sub.size())
				n = v.sub[i].sub.size();
			if (n > (kMaxBinary - f.offset) / es)
				return EINVAL;
			c->num = n;
			v.sub[i].sub.resize(n);
		}
		if (grow(out, at + t.size) != 0)
			return EINVAL;
		for (size_t i = 0; i < t.nfields; i++) {
			int e = encode_at(*t.fields[i].type, v.sub[i], out,
			    at + t.fields[i].offset, depth + 1);
			if (e != 0)
				return e;
		}
		return 0;
	case Kind::FixedArray:
	case Kind::VarArray: {
		if (t.kind == Kind::FixedArray && v.sub.size() < t.count)
			v.sub.resize(t.count);
		if (t.kind == Kind::FixedArray && v.sub.size() > t.count)
			return EINVAL;
		size_t es = t.elem->size;
		for (size_t k = 0; k < v.sub.size(); k++) {
			int e = encode_at(*t.elem, v.sub[k], out, at + k * es,
			    depth + 1);
			if (e != 0)
				return e;
		}
		return 0;
	}
	default:
		return EINVAL;
	}
}

/* ----------------------------------------------------------------- ASCII */

bool
is_default(const Type &t, const Value &v)
{
	if (is_integer(t.kind))
		return v.num == 0;
	switch (t.kind) {
	case Kind::FixedString:
	case Kind::String:
		return v.str.empty();
	case Kind::EnAddr:
		return v.str.find_first_not_of('\0') == std::string::npos;
	default:
		for (size_t i = 0; i < v.sub.size(); i++)
			if (!is_default(t.kind == Kind::Struct ? *t.fields[i].type :
			    *t.elem, v.sub[i]))
				return false;
		return true;
	}
}

void
put_quoted(const std::string &s, std::string &out)
{
	out += '"';
	for (unsigned char c : s) {
		const char *esc = nullptr;
		switch (c) {
		case '"':	esc = "\\\""; break;
		case '\\':	esc = "\\\\"; break;
		case '\a':	esc = "\\a"; break;
		case '\b':	esc = "\\b"; break;
		case '\f':	esc = "\\f"; break;
		case '\n':	esc = "\\n"; break;
		case '\r':	esc = "\\r"; break;
		case '\t':	esc = "\\t"; break;
		case '\v':	esc = "\\v"; break;
		}
		if (esc != nullptr) {
			out += esc;
		} else if (c >= 0x20 && c < 0x7f) {
			out += char(c);
		} else {
			/* Always three digits, so a digit after it is not taken in. */
			char buf[8];
			snprintf(buf, sizeof buf, "\\%03o", c);
			out += buf;
		}
	}
	out += '"';
}

void
unparse_at(const Type &t, const Value &v, std::string &out)
{
	char buf[32];

	if (is_signed(t.kind)) {
		snprintf(buf, sizeof buf, "%lld", (long long)int64_t(v.num));
		out += buf;
		return;
	}
	if (t.kind == Kind::Hex32) {
		snprintf(buf, sizeof buf, "0x%x", unsigned(v.num));
		out += buf;
		return;
	}
	if (is_integer(t.kind)) {
		snprintf(buf, sizeof buf, "%llu", (unsigned long long)v.num);
		out += buf;
		return;
	}
	switch (t.kind) {
	case Kind::FixedString:
	case Kind::String:
		put_quoted(v.str, out);
		return;
	case Kind::EnAddr: {
		std::string a = v.str;
		a.resize(t.size, '\0');
		for (size_t i = 0; i < a.size(); i++) {
			snprintf(buf, sizeof buf, "%s%02x", i > 0 ? ":" : "",
			    unsigned((unsigned char)a[i]));
			out += buf;
		}
		return;
	}
	case Kind::Struct: {
		bool any = false;
		out += '{';
		for (size_t i = 0; i < t.nfields; i++) {
			const Field &f = t.fields[i];
			const Value &fv = i < v.sub.size() ? v.sub[i] : kDefault;
			if (is_default(*f.type, fv))
				continue;
			out += ' ';
			out += f.name;
			out += '=';
			unparse_at(*f.type, fv, out);
			any = true;
		}
		out += any ? " }" : "}";
		return;
	}
	default: {
		/* An element after omitted ones says its index. */
		bool any = false, skipped = false;
		out += '[';
		for (size_t k = 0; k < v.sub.size(); k++) {
			if (is_default(*t.elem, v.sub[k])) {
				skipped = true;
				continue;
			}
			out += ' ';
			if (skipped) {
				snprintf(buf, sizeof buf, "%zu=", k);
				out += buf;
				skipped = false;
			}
			unparse_at(*t.elem, v.sub[k], out);
			any = true;
		}
		out += any ? " ]" : "]";
		return;
	}
	}
}

enum class Tok { End, LBrace, RBrace, LBracket, RBracket, Equals, Str, Word, Bad };

/* Tokens of the ASCII form: { } [ ] = "string" and words. */
class Lexer {
public:
	explicit Lexer(const std::string &s) : s_(s) {}
	size_t pos() const { return i_; }
	void seek(size_t i) { i_ = i; }
	Tok next(std::string &text);

private:
	Tok quoted(std::string &text);
	const std::string &s_;
	size_t i_ = 0;
};

bool
is_space(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' ||
	    c == '\v';
}

Tok
Lexer::next(std::string &text)
{
	text.clear();
	while (i_ < s_.size() && is_space(s_[i_]))
		i_++;
	if (i_ == s_.size())
		return Tok::End;
	switch (s_[i_]) {
	case '{':	i_++; return Tok::LBrace;
	case '}':	i_++; return Tok::RBrace;
	case '[':	i_++; return Tok::LBracket;
	case ']':	i_++; return Tok::RBracket;
	case '=':	i_++; return Tok::Equals;
	case '"':	i_++; return quoted(text);
	}
	while (i_ < s_.size() && !is_space(s_[i_]) &&
	    strchr("{}[]=\"", s_[i_]) == nullptr)
		text += s_[i_++];
	return Tok::Word;
}

int
digit_value(char c, int base)
{
	int d = c >= '0' && c <= '9' ? c - '0' :
	    c >= 'a' && c <= 'f' ? c - 'a' + 10 :
	    c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
	return d < base ? d : -1;
}

/* The character that a one-letter C escape stands for, or -1. */
int
simple_escape(char c)
{
	switch (c) {
	case 'a':	return '\a';
	case 'b':	return '\b';
	case 'f':	return '\f';
	case 'n':	return '\n';
	case 'r':	return '\r';
	case 't':	return '\t';
	case 'v':	return '\v';
	case '\\':
	case '"':
	case '\'':
	case '?':	return c;
	default:	return -1;
	}
}

/* The rest of a string after its opening quote, C escapes undone. */
Tok
Lexer::quoted(std::string &text)
{
	while (i_ < s_.size()) {
		char c = s_[i_++];
		if (c == '"')
			return Tok::Str;
		if (c != '\\') {
			text += c;
			continue;
		}
		if (i_ == s_.size())
			break;
		c = s_[i_++];
		int simple = simple_escape(c);
		if (simple >= 0) {
			text += char(simple);
			continue;
		}
		unsigned v = 0;
		int n = 0;
		if (c == 'x') {
			for (; n < 2 && i_ < s_.size() && digit_value(s_[i_], 16) >= 0; n++)
				v = v * 16 + unsigned(digit_value(s_[i_++], 16));
		} else if (digit_value(c, 8) >= 0) {
			v = unsigned(digit_value(c, 8));
			for (n = 1; n < 3 && i_ < s_.size() && digit_value(s_[i_], 8) >= 0; n++)
				v = v * 8 + unsigned(digit_value(s_[i_++], 8));
		}
		if (n == 0 || v > 0xff)
			return Tok::Bad;
		text += char(v);
	}
	return Tok::Bad;
}

/* An integer in base 8 (leading 0), 10 or 16 (leading 0x), in t's range. */
bool
parse_int(const Type &t, const std::string &w, uint64_t &out)
{
	size_t i = 0;
	bool neg = false;
	if (i < w.size() && w[i] == '-' && is_signed(t.kind)) {
		neg = true;
		i++;
	}
	int base = 10;
	if (w.size() - i > 2 && w[i] == '0' && (w[i + 1] == 'x' || w[i + 1] == 'X')) {
		base = 16;
		i += 2;
	} else if (w.size() - i > 1 && w[i] == '0') {
		base = 8;
		i++;
	}
	if (i == w.size())
		return false;
	uint64_t mag = 0;
	for (; i < w.size(); i++) {
		int d = digit_value(w[i], base);
		if (d < 0 || mag > (UINT64_MAX - uint64_t(d)) / uint64_t(base))
			return false;
		mag = mag * uint64_t(base) + uint64_t(d);
	}
	unsigned bits = unsigned(t.size * 8);
	uint64_t umax = bits == 64 ? UINT64_MAX : (uint64_t(1) << bits) - 1;
	if (!is_signed(t.kind)) {
		out = mag;
		return mag <= umax;
	}
	uint64_t smax = umax >> 1;
	if (neg) {
		out = uint64_t(0) - mag;
		return mag <= smax + 1;
	}
	out = mag;
	return mag <= smax;
}

bool
parse_enaddr(const std::string &w, std::string &out)
{
	out.clear();
	size_t i = 0;
	for (int k = 0; k < 6; k++) {
		if (k > 0 && (i == w.size() || w[i++] != ':'))
			return false;
		unsigned v = 0;
		int n = 0;
		for (; n < 2 && i < w.size() && digit_value(w[i], 16) >= 0; n++)
			v = v * 16 + unsigned(digit_value(w[i++], 16));
		if (n == 0)
			return false;
		out += char(v);
	}
	return i == w.size();
}

int
parse_value(const Type &t, Lexer &lx, Value &v, int depth)
{
	std::string tx;

	if (depth > kMaxDepth)
		return EINVAL;
	Tok k = lx.next(tx);
	if (is_integer(t.kind))
		return k == Tok::Word && parse_int(t, tx, v.num) ? 0 : EINVAL;
	switch (t.kind) {
	case Kind::FixedString:
	case Kind::String:
		if (k != Tok::Str || tx.find('\0') != std::string::npos ||
		    (t.kind == Kind::FixedString && tx.size() >= t.size) ||
		    (t.kind == Kind::String && t.maxlen != 0 && tx.size() >= t.maxlen))
			return EINVAL;
		v.str = tx;
		return 0;
	case Kind::EnAddr:
		return k == Tok::Word && parse_enaddr(tx, v.str) ? 0 : EINVAL;
	case Kind::Struct:
		if (k != Tok::LBrace)
			return EINVAL;
		if (v.sub.size() < t.nfields)
			v.sub.resize(t.nfields);
		for (;;) {
			k = lx.next(tx);
			if (k == Tok::RBrace)
				return 0;
			size_t i = 0;
			while (k == Tok::Word && i < t.nfields && tx != t.fields[i].name)
				i++;
			if (k != Tok::Word || i == t.nfields || lx.next(tx) != Tok::Equals)
				return EINVAL;
			/* A field given twice takes its last value. */
			v.sub[i] = Value();
			int e = parse_value(*t.fields[i].type, lx, v.sub[i], depth + 1);
			if (e != 0)
				return e;
		}
	case Kind::FixedArray:
	case Kind::VarArray: {
		if (k != Tok::LBracket)
			return EINVAL;
		size_t limit = t.kind == Kind::FixedArray ? t.count :
		    kMaxBinary / t.elem->size;
		static constexpr Type kIndex = scalar(Kind::UInt32, 4);
		uint64_t idx = 0;
		for (;;) {
			size_t at = lx.pos();
			k = lx.next(tx);
			if (k == Tok::RBracket)
				return 0;
			/* "index=" before an element sets its place. */
			std::string eq;
			if (k != Tok::Word || lx.next(eq) != Tok::Equals)
				lx.seek(at);
			else if (!parse_int(kIndex, tx, idx))
				return EINVAL;
			if (idx >= limit)
				return EINVAL;
			if (v.sub.size() <= idx)
				v.sub.resize(idx + 1);
			v.sub[idx] = Value();
			int e = parse_value(*t.elem, lx, v.sub[idx], depth + 1);
			if (e != 0)
				return e;
			idx++;
		}
	}
	default:
		return EINVAL;
	}
}

} // namespace

int
decode(const Type &t, const uint8_t *p, size_t len, Value &v)
{
	size_t used = 0;
	if (len > kMaxBinary)
		return EINVAL;
	int e = decode_at(t, p, len, v, used, 0);
	if (e != 0)
		return e;
	/* Only a string may be followed by bytes that mean nothing. */
	return used == len || t.kind == Kind::String ? 0 : EINVAL;
}

void
unparse(const Type &t, const Value &v, std::string &out)
{
	unparse_at(t, v, out);
}

int
parse(const Type &t, const std::string &text, Value &v)
{
	if (text.size() >= kMaxText)
		return EINVAL;
	Lexer lx(text);
	v = Value();
	int e = parse_value(t, lx, v, 0);
	if (e != 0)
		return e;
	std::string rest;
	return lx.next(rest) == Tok::End ? 0 : EINVAL;
}

int
encode(const Type &t, Value &v, std::vector<uint8_t> &out)
{
	out.clear();
	return encode_at(t, v, out, 0, 0);
}

} // namespace parse
} // namespace ngsim
