// The bench page: filled in by the page work.
"use strict";
