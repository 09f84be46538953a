# The two commands of the README: `make run` and `make test`.
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
WINDOWS_DIR ?= build-windows
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: deps build run test test-sanitize windows test-windows install package clean

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/bin/quorvane

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory test-sanitize

# The same suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	@cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_SANITIZE=ON >/dev/null
	@cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) -LE 'big|cluster'

# The Windows programs, cross-built and zipped in $(WINDOWS_DIR); their tests run under wine.
# Both need the Windows toolchain archive (see the README); the tests are skipped without it.
windows:
	@scripts/windows.sh build $(WINDOWS_DIR) $(JOBS)

test-windows:
	@scripts/windows.sh test $(WINDOWS_DIR) $(JOBS)

# Installs under PREFIX (default /usr/local), with an entry in the desktop's menu.
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)
	-command -v update-desktop-database >/dev/null && update-desktop-database -q $(PREFIX)/share/applications
	-command -v gtk-update-icon-cache >/dev/null && gtk-update-icon-cache -q -t $(PREFIX)/share/icons/hicolor

# A Debian package in $(BUILD_DIR): apt install ./$(BUILD_DIR)/quorvane_*.deb
package: build
	cd $(BUILD_DIR) && cpack -G DEB

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(WINDOWS_DIR)
