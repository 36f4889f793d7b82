package qelcode

import (
	"os"
	"path/filepath"
	"regexp"
	"strconv"
	"testing"
	"unsafe"
)

func TestConverterSizeIsTheHeaders(t *testing.T) {
	header, err := os.ReadFile(filepath.Join("..", "..", "include", "qelcode.h"))
	if err != nil {
		t.Fatal(err)
	}
	m := regexp.MustCompile(`#define QEL_CONVERTER_SIZE (\d+)`).FindSubmatch(header)
	if m == nil {
		t.Fatal("no QEL_CONVERTER_SIZE in qelcode.h")
	}
	size, _ := strconv.Atoi(string(m[1]))
	if int(unsafe.Sizeof(converter{})) != size || converterSize != size || unsafe.Alignof(converter{}) < 4 {
		t.Fatalf("the converter has %d bytes, aligned to %d; the header says %d", unsafe.Sizeof(converter{}), unsafe.Alignof(converter{}), size)
	}
}
