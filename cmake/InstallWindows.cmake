# Installing and packaging the Windows build: filled in with the installer.
