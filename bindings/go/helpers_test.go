package qelcode_test

import (
	"bufio"
	"fmt"
	"os"
	"path/filepath"
	"strconv"
	"strings"
	"testing"
)

// repo is the repository's top folder.
var repo = filepath.Join("..", "..")

// vector is one line of tests/reference/vectors.txt.
type vector struct {
	operation    string
	shift        int
	text, record []byte
	line         int
}

// unquote reads the quoted field at s[at:] and returns it and the index after it.
func unquote(s string, at int) ([]byte, int) {
	if s[at] != '"' {
		panic(fmt.Sprintf("no quoted field at %d of %q", at, s))
	}
	var out []byte
	for i := at + 1; ; {
		switch c := s[i]; c {
		case '"':
			return out, i + 1
		case '\\':
			switch e := s[i+1]; e {
			case 'n':
				out = append(out, '\n')
			case 'r':
				out = append(out, '\r')
			case 't':
				out = append(out, '\t')
			case '\\', '"':
				out = append(out, e)
			case 'x':
				v, err := strconv.ParseUint(s[i+2:i+4], 16, 8)
				if err != nil {
					panic(err)
				}
				out = append(out, byte(v))
				i += 2
			default:
				panic("unknown escape in " + s)
			}
			i += 2
		default:
			out = append(out, c)
			i++
		}
	}
}

func vectors(t *testing.T) []vector {
	f, err := os.Open(filepath.Join(repo, "tests", "reference", "vectors.txt"))
	if err != nil {
		t.Fatal(err)
	}
	defer f.Close()
	var out []vector
	s := bufio.NewScanner(f)
	for n := 1; s.Scan(); n++ {
		line := s.Text()
		if strings.TrimSpace(line) == "" || strings.HasPrefix(line, "#") {
			continue
		}
		parts := strings.SplitN(line, " ", 3)
		shift, err := strconv.Atoi(parts[1])
		if err != nil {
			t.Fatal(err)
		}
		text, end := unquote(parts[2], 0)
		record, _ := unquote(parts[2], end+1)
		out = append(out, vector{parts[0], shift, text, record, n})
	}
	return out
}

// rng is xorshift64*: the same numbers on every run.
type rng uint64

func newRng(seed uint64) *rng { r := rng(seed*0x9E3779B97F4A7C15 | 1); return &r }

func (r *rng) next() uint64 {
	x := uint64(*r)
	x ^= x >> 12
	x ^= x << 25
	x ^= x >> 27
	*r = rng(x)
	return x * 0x2545F4914F6CDD1D
}

func (r *rng) below(n int) int { return int(r.next() % uint64(n)) }

// mixedText is text with short, empty and long lines, CR LF and lone CR,
// tabs and high bytes; no two bytes in a row add up to 159, so no line, nor
// the part of a long line that starts a record, carries the encoded mark.
func mixedText(r *rng, size int) []byte {
	text := make([]byte, 0, size+2000)
	for len(text) < size {
		n := r.below(80)
		switch r.below(10) {
		case 0:
			n = 0
		case 1:
			n = 500 + r.below(1100)
		}
		for i := 0; i < n; i++ {
			var b byte
			switch r.below(40) {
			case 0:
				b = '\t'
			case 1:
				b = byte(0x80 + r.below(128))
			case 2:
				b = '\r'
			default:
				b = byte(' ' + r.below(95))
			}
			if i >= 1 && int(text[len(text)-1])+int(b) == 159 {
				b ^= 1
			}
			text = append(text, b)
		}
		if r.below(4) == 0 {
			text = append(text, '\r', '\n')
		} else {
			text = append(text, '\n')
		}
	}
	return text
}

// randomPieces cuts data into pieces of random sizes, from 1 byte to a few KiB.
func randomPieces(r *rng, data []byte) [][]byte {
	var pieces [][]byte
	for at := 0; at < len(data); {
		most := []int{1, 7, 100, 700, 5000}[r.below(5)]
		n := 1 + r.below(most)
		if n > len(data)-at {
			n = len(data) - at
		}
		pieces = append(pieces, data[at:at+n])
		at += n
	}
	return pieces
}
