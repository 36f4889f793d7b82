package qelcode

/*
#cgo pkg-config: qelcode
#include <qelcode.h>
*/
import "C"

import "unsafe"

const (
	rtnSuccessful = 1
	flagForce     = 1
	flagLast      = 2
	flagDecode    = 4
)

// converterSize is the size of the library's converter state.
const converterSize = C.QEL_CONVERTER_SIZE

// converter is one conversion: the library's QEL_Converter, held by value
// in Go memory that holds no Go pointer, so that its address may be handed
// to C for the length of a call.
type converter struct {
	state C.QEL_Converter
}

// put is what one converter call did.
type put struct {
	produced, consumed int
	status             int
}

func newConverter(decode, force bool) *converter {
	c := new(converter)
	var flags C.uint32_t
	switch {
	case decode:
		flags = flagDecode
	case force:
		flags = flagForce
	}
	C.QEL_ConverterInit(&c.state, flags)
	return c
}

// put hands src to the converter and takes output into dest; last ends
// the input with these bytes.
func (c *converter) put(dest, src []byte, last bool) put {
	var destPtr, srcPtr *C.char
	if len(dest) > 0 {
		destPtr = (*C.char)(unsafe.Pointer(&dest[0]))
	}
	if len(src) > 0 {
		srcPtr = (*C.char)(unsafe.Pointer(&src[0]))
	}
	var flags C.uint32_t
	if last {
		flags = flagLast
	}
	var produced, consumed C.size_t
	status := C.int32_t(rtnSuccessful)
	C.QEL_ConverterPut(&c.state, destPtr, C.size_t(len(dest)), &produced,
		srcPtr, C.size_t(len(src)), &consumed, flags, &status)
	return put{produced: int(produced), consumed: int(consumed), status: int(status)}
}

// offset is the number of input bytes of the pieces converted so far:
// where the next (or the refused) piece starts.
func (c *converter) offset() uint64 { return uint64(C.QEL_ConverterOffset(&c.state)) }

// line is that piece's 1-based line.
func (c *converter) line() uint64 { return uint64(C.QEL_ConverterLine(&c.state)) }

// refusal is the error of a refused piece, where the converter stopped.
func (c *converter) refusal(code int) *Error {
	return &Error{Code: code, Offset: c.offset(), Line: c.line()}
}

// Message returns the library's fixed English message for a status code,
// as QEL_RtnCodeStr gives it.
func Message(code int) string {
	return C.GoString(C.QEL_RtnCodeStr(C.int32_t(code)))
}

// EncodeBound returns room that always suffices for the records of n bytes of text.
func EncodeBound(n int) int { return boundOf(uint64(C.QEL_EncodeBound(C.size_t(n)))) }

// DecodeBound returns room that always suffices for the text of n bytes of records.
func DecodeBound(n int) int { return boundOf(uint64(C.QEL_DecodeBound(C.size_t(n)))) }

func boundOf(n uint64) int {
	if n > uint64(^uint(0)>>1) {
		return int(^uint(0) >> 1)
	}
	return int(n)
}
