// Written with the engine.
