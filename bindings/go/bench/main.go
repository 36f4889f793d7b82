// Command bench times the package against the C library called directly,
// on 100 MiB of real text (the C headers of this system, over and over):
//
//	go run ./bench [-mib N]
//
// It prints the best of seven runs, taken in turn, of: one QEL_EncodeBuffer call into fresh
// memory; qelcode.Encode; an Encoder fed 64 KiB pieces, writing into a
// bytes.Buffer and into a writer that drops it; an encoding Reader read in
// 64 KiB pieces, kept or dropped; and their ratios to the C call.
package main

/*
#cgo pkg-config: qelcode
#include <qelcode.h>
*/
import "C"

import (
	"bytes"
	"flag"
	"fmt"
	"io"
	"os"
	"path/filepath"
	"sort"
	"time"
	"unsafe"

	"qelcode"
)

const piece = 64 << 10

func realText(size int) []byte {
	names, _ := filepath.Glob("/usr/include/*.h")
	sort.Strings(names)
	text := make([]byte, 0, size)
	for {
		for _, name := range names {
			data, err := os.ReadFile(name)
			if err != nil {
				panic(err)
			}
			if _, err := qelcode.Encode(data); err != nil {
				continue // only files the encoder takes whole
			}
			if len(text)+len(data) > size {
				return text
			}
			text = append(text, data...)
		}
	}
}

func cCall(text []byte) int {
	room := qelcode.EncodeBound(len(text))
	out := make([]byte, room)
	var produced, consumed C.size_t
	status := C.int32_t(1)
	ok := C.QEL_EncodeBuffer((*C.char)(unsafe.Pointer(&out[0])), C.size_t(room), &produced,
		(*C.char)(unsafe.Pointer(&text[0])), C.size_t(len(text)), &consumed, C.QEL_LAST, &status)
	if ok != 1 || int(consumed) != len(text) {
		panic(fmt.Sprint("the C call failed: ", status))
	}
	return int(produced)
}

func encode(text []byte) int {
	out, err := qelcode.Encode(text)
	if err != nil {
		panic(err)
	}
	return len(out)
}

// counter is a writer that drops what it is given and counts it.
type counter struct{ n int }

func (c *counter) Write(p []byte) (int, error) { c.n += len(p); return len(p), nil }

func writer(text []byte) int {
	out := bytes.NewBuffer(make([]byte, 0, qelcode.EncodeBound(len(text))))
	return writeTo(out, text, out.Len)
}

func writerDropped(text []byte) int {
	out := &counter{}
	return writeTo(out, text, func() int { return out.n })
}

func writeTo(out io.Writer, text []byte, size func() int) int {
	w := qelcode.NewEncoder(out)
	for at := 0; at < len(text); at += piece {
		end := at + piece
		if end > len(text) {
			end = len(text)
		}
		if _, err := w.Write(text[at:end]); err != nil {
			panic(err)
		}
	}
	if err := w.Close(); err != nil {
		panic(err)
	}
	return size()
}

func reader(text []byte) int { return readFrom(text, true) }

func readerDropped(text []byte) int { return readFrom(text, false) }

func readFrom(text []byte, keep bool) int {
	r := qelcode.NewEncodeReader(bytes.NewReader(text))
	var out []byte
	if keep {
		out = make([]byte, 0, qelcode.EncodeBound(len(text)))
	}
	buf := make([]byte, piece)
	total := 0
	for {
		n, err := r.Read(buf)
		total += n
		if keep {
			out = append(out, buf[:n]...)
		}
		if err == io.EOF {
			return total
		}
		if err != nil {
			panic(err)
		}
	}
}

func main() {
	mib := flag.Int("mib", 100, "MiB of text")
	flag.Parse()
	text := realText(*mib << 20)
	fmt.Printf("input: %.1f MiB of /usr/include/*.h\n", float64(len(text))/(1<<20))
	rate := func(d time.Duration) float64 { return float64(len(text)) / d.Seconds() / (1 << 20) }
	benches := []struct {
		name string
		f    func([]byte) int
		goal float64
	}{
		{"C QEL_EncodeBuffer, fresh memory", cCall, 0},
		{"qelcode.Encode", encode, 1.1},
		{"Encoder, 64 KiB writes", writer, 1.3},
		{"Encoder, 64 KiB writes, output dropped", writerDropped, 1.3},
		{"encoding Reader, 64 KiB reads", reader, 1.3},
		{"encoding Reader, output dropped", readerDropped, 1.3},
	}
	// Rounds in turn, the best of each kept, so that a busy moment of a
	// shared machine weighs on all of them alike.
	cSize := cCall(text)
	best := make([]time.Duration, len(benches))
	for round := 0; round < 7; round++ {
		for i, b := range benches {
			start := time.Now()
			size := b.f(text)
			if d := time.Since(start); round == 0 || d < best[i] {
				best[i] = d
			}
			if size != cSize {
				panic(b.name + " wrote another size")
			}
		}
	}
	for i, b := range benches {
		fmt.Printf("%-40s %8.1f ms %8.0f MiB/s", b.name, best[i].Seconds()*1e3, rate(best[i]))
		if i > 0 {
			fmt.Printf("  %.2f x the C call (goal %.1f)", best[i].Seconds()/best[0].Seconds(), b.goal)
		}
		fmt.Println()
	}
}
