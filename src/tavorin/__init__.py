"""Row-wise projection onto the capped simplex; the work is in ``tavorin.operators``."""
