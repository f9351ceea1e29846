"""The package logger; configuring handlers is the application's business."""

import logging

logger = logging.getLogger("brelvox")
