/*
 * Parse types: how the argument of a control message is laid out in binary
 * and written in netgraph's ASCII form. A message's argument is described
 * by a constant tree of Types (integers, strings, Ethernet addresses,
 * structures and arrays); four functions move a value along
 *
 *	binary --decode--> Value --unparse--> text
 *	text   --parse---> Value --encode---> binary
 *
 * Nothing here trusts its input: binary shorter or longer than its type,
 * array lengths beyond the data, text that does not parse, nests too deep
 * or grows too large are refused with EINVAL.
 */
#ifndef NGSIM_PARSE_TYPE_H
#define NGSIM_PARSE_TYPE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ngsim {
namespace parse {

enum class Kind : uint8_t {
	Int8, Int16, Int32, Int64,
	UInt8, UInt16, UInt32, UInt64,
	Hex32,		/* uint32_t, written in hexadecimal (node IDs) */
	FixedString,	/* char[size], NUL-terminated within it */
	String,		/* NUL-terminated, as long as it is */
	EnAddr,		/* six bytes, written xx:xx:xx:xx:xx:xx */
	Struct,
	FixedArray,
	VarArray,	/* length kept in an integer field before it */
};

struct Field;

struct Type {
	Kind		kind;
	/*
	 * Bytes of the binary form. A struct counts those before a trailing
	 * VarArray; String and VarArray have none of their own.
	 */
	size_t		size;
	const Field	*fields;	/* Struct */
	size_t		nfields;
	const Type	*elem;		/* FixedArray, VarArray: a fixed-size type */
	size_t		count;		/* FixedArray: its elements */
	/*
	 * VarArray: dotted path, within the enclosing struct, of the integer
	 * field that holds the number of elements ("nodeinfo.hooks").
	 */
	const char	*count_from;
	size_t		maxlen;		/* String: longest binary form, NUL included; 0: any */
};

struct Field {
	const char	*name;		/* as written in ASCII */
	const Type	*type;
	size_t		offset;		/* in the binary struct */
};

constexpr Type
scalar(Kind k, size_t size)
{
	return Type{k, size, nullptr, 0, nullptr, 0, nullptr, 0};
}

constexpr Type
fixed_string(size_t width)
{
	return Type{Kind::FixedString, width, nullptr, 0, nullptr, 0, nullptr, 0};
}

constexpr Type
var_string(size_t maxlen)
{
	return Type{Kind::String, 0, nullptr, 0, nullptr, 0, nullptr, maxlen};
}

template <size_t N>
constexpr Type
structure(const Field (&fields)[N], size_t size)
{
	return Type{Kind::Struct, size, fields, N, nullptr, 0, nullptr, 0};
}

constexpr Type
fixed_array(const Type &elem, size_t count)
{
	return Type{Kind::FixedArray, elem.size * count, nullptr, 0, &elem,
	    count, nullptr, 0};
}

constexpr Type
var_array(const Type &elem, const char *count_from)
{
	return Type{Kind::VarArray, 0, nullptr, 0, &elem, 0, count_from, 0};
}

/*
 * A value of some Type: integers in `num` (signed ones sign-extended),
 * strings and Ethernet addresses in `str`, struct fields (in the Type's
 * order) and array elements in `sub`. A default-constructed Value is the
 * type's default: zero, "", all fields and elements default.
 */
struct Value {
	uint64_t		num = 0;
	std::string		str;
	std::vector<Value>	sub;
};

/* Bounds on what is converted, either way. */
constexpr size_t kMaxText = 256 * 1024;		/* ASCII form, NUL included */
constexpr size_t kMaxBinary = 256 * 1024;	/* binary argument */
constexpr int kMaxDepth = 16;			/* nested structs and arrays */

/* Binary `p`, exactly `len` bytes of it, into `v`. 0 or EINVAL. */
int decode(const Type &t, const uint8_t *p, size_t len, Value &v);
/* `v` in ASCII form, appended to `out`; the value itself even when default. */
void unparse(const Type &t, const Value &v, std::string &out);
/* ASCII `text` into `v`. 0 or EINVAL. */
int parse(const Type &t, const std::string &text, Value &v);
/* `v` in binary form into `out` (replacing it); array lengths are written
 * into their count fields. 0 or EINVAL. */
int encode(const Type &t, Value &v, std::vector<uint8_t> &out);

} // namespace parse
} // namespace ngsim

#endif /* NGSIM_PARSE_TYPE_H */
