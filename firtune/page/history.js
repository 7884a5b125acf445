// Undo and redo over snapshots of the editor's state. No DOM here; a
// snapshot is any value the caller can restore.

export function makeHistory(limit = 200)
{
	return { past: [], future: [], limit };
}

// Records the state as it was before an edit; a new edit forgets what
// could have been redone.
export function record(h, before)
{
	h.past.push(before);
	if (h.past.length > h.limit)
		h.past.shift();
	h.future = [];
}

// Returns the state to restore, or null when there is nothing to undo;
// current is kept for redo.
export function undo(h, current)
{
	if (h.past.length === 0)
		return null;
	h.future.push(current);
	return h.past.pop();
}

export function redo(h, current)
{
	if (h.future.length === 0)
		return null;
	h.past.push(current);
	return h.future.pop();
}
