package qelcode_test

import (
	"os"
	"os/exec"
	"path/filepath"
	"runtime"
	"strings"
	"testing"
)

func TestTheReadmeExampleRunsAsWritten(t *testing.T) {
	readme, err := os.ReadFile(filepath.Join(repo, "README.md"))
	if err != nil {
		t.Fatal(err)
	}
	_, rest, found := strings.Cut(string(readme), "<!-- go-example -->\n```go\n")
	block, _, closed := strings.Cut(rest, "```\n")
	if !found || !closed {
		t.Fatal("README.md lost its Go example")
	}
	module, err := filepath.Abs(".")
	if err != nil {
		t.Fatal(err)
	}
	dir := t.TempDir()
	goMod := "module example\n\ngo 1.19\n\nrequire qelcode v0.0.0\n\nreplace qelcode => " + module + "\n"
	for name, text := range map[string]string{"go.mod": goMod, "main.go": block} {
		if err := os.WriteFile(filepath.Join(dir, name), []byte(text), 0o644); err != nil {
			t.Fatal(err)
		}
	}
	cmd := exec.Command(filepath.Join(runtime.GOROOT(), "bin", "go"), "run", ".")
	cmd.Dir = dir
	cmd.Env = append(os.Environ(), "GOFLAGS=-mod=mod", "GOPROXY=off")
	var stderr strings.Builder
	cmd.Stderr = &stderr
	out, err := cmd.Output()
	if err != nil {
		t.Fatalf("%v\n%s", err, stderr.String())
	}
	if got := string(out); got != "true\nHello\nworld\ntrue 5 2\n" {
		t.Errorf("printed %q", got)
	}
	if got := stderr.String(); got != "Source encoded (line 2, input byte 5)\n" {
		t.Errorf("printed on stderr %q", got)
	}
}
