#include "Main.h"

START_JUCE_APPLICATION (KestraneUninstallerApplication)
